#include "frame/access_table.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "frame/errors.h"

namespace kz {
namespace {

// A slot gets its function, or the stub of its own type while the function is not built.
// The record is packed to 4 bytes, so on 64-bit hosts a slot is written byte-wise.
template <class F>
void Put(KZACCESS* access, size_t offset, F function) {
  const F value = function ? function : &SlotStub<F>::Call;
  std::memcpy(reinterpret_cast<unsigned char*>(access) + offset, &value, sizeof value);
}

#define KZ_SLOT(name, function) Put<decltype(KZACCESS::name)>(a, offsetof(KZACCESS, name), function)

}  // namespace

void NotImplemented() {
  MessageBoxA(GetActiveWindow(), "The KZACCESS structure needs to be updated.", "Not Implemented",
              MB_OK);
  SetError(KZ_ERR_NOT_IMPLEMENTED);
}

void FillAccess(KZACCESS* a, uint32_t session) {
  std::memset(a, 0, sizeof *a);
  a->size = sizeof(KZACCESS);
  a->session = session;
  a->version = KZ_VERSION_NUMBER;
  // The 46 functions in slot order. A function that is not built yet stands as nullptr
  // (the stub); when it is built, its name replaces the nullptr here.
  KZ_SLOT(KZAVIOptionsDialog, KZAVIOptionsDialog);
  KZ_SLOT(KZBegin, KZBegin);
  KZ_SLOT(KZCameraDialog, KZCameraDialog);
  KZ_SLOT(KZChangeDisplay, KZChangeDisplay);
  KZ_SLOT(KZChangePlayback, KZChangePlayback);
  KZ_SLOT(KZChangeRecord, KZChangeRecord);
  KZ_SLOT(KZDisplayCoord, KZDisplayCoord);
  KZ_SLOT(KZDisplayCoord2, KZDisplayCoord2);
  KZ_SLOT(KZEnd, KZEnd);
  KZ_SLOT(KZEnumFormats, KZEnumFormats);
  KZ_SLOT(KZEnumSources, KZEnumSources);
  KZ_SLOT(KZFormatDialog, KZFormatDialog);
  KZ_SLOT(KZGetDisplay, KZGetDisplay);
  KZ_SLOT(KZGetDisplayImage, KZGetDisplayImage);
  KZ_SLOT(KZGetDisplayRate, KZGetDisplayRate);
  KZ_SLOT(KZGetFileInfo, KZGetFileInfo);
  KZ_SLOT(KZGetFileFormat, KZGetFileFormat);
  KZ_SLOT(KZGetFormat, KZGetFormat);
  KZ_SLOT(KZGetLastError, KZGetLastError);
  KZ_SLOT(KZGetPlayback, KZGetPlayback);
  KZ_SLOT(KZGetPlaybackFrame, KZGetPlaybackFrame);
  KZ_SLOT(KZGetPlaybackID, KZGetPlaybackID);
  KZ_SLOT(KZGetPlaybackImage, KZGetPlaybackImage);
  KZ_SLOT(KZGetPlaybackInfo, KZGetPlaybackInfo);
  KZ_SLOT(KZGetPlaybackRate, KZGetPlaybackRate);
  KZ_SLOT(KZGetRecord, KZGetRecord);
  KZ_SLOT(KZGetRecordRate, KZGetRecordRate);
  KZ_SLOT(KZImageToBitmap, KZImageToBitmap);
  KZ_SLOT(KZIsSourceInUse, KZIsSourceInUse);
  KZ_SLOT(KZJulianToSystemTime, KZJulianToSystemTime);
  KZ_SLOT(KZLoadFrame, KZLoadFrame);
  KZ_SLOT(KZRefreshPlayback, KZRefreshPlayback);
  KZ_SLOT(KZSaveImage, KZSaveImage);
  KZ_SLOT(KZSaveVideo, KZSaveVideo);
  KZ_SLOT(KZShowImage, KZShowImage);
  KZ_SLOT(KZStartDisplay, KZStartDisplay);
  KZ_SLOT(KZStartPlayback, KZStartPlayback);
  KZ_SLOT(KZStartRecord, KZStartRecord);
  KZ_SLOT(KZStopAll, KZStopAll);
  KZ_SLOT(KZStopDisplay, KZStopDisplay);
  KZ_SLOT(KZStopPlayback, KZStopPlayback);
  KZ_SLOT(KZStopRecord, KZStopRecord);
  KZ_SLOT(KZSystemTimeToJulian, KZSystemTimeToJulian);
  KZ_SLOT(KZVersion, KZVersion);
  KZ_SLOT(KZWaitForDisplay, KZWaitForDisplay);
  KZ_SLOT(KZWaitForPlayback, KZWaitForPlayback);
}

#undef KZ_SLOT

}  // namespace kz
