#include "frame/access_table.h"

#include <windows.h>

#include <cstring>
#include <type_traits>

#include "frame/errors.h"

namespace kz {
namespace {

// A slot gets its function, or the stub of its own type while the function is not built.
template <class F>
void Put(F& slot, std::type_identity_t<F> function) {
  slot = function ? function : &SlotStub<F>::Call;
}

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
  // (the stub); when it is built, its name replaces the nullptr.
  Put(a->KZAVIOptionsDialog, nullptr);
  Put(a->KZBegin, KZBegin);
  Put(a->KZCameraDialog, nullptr);
  Put(a->KZChangeDisplay, nullptr);
  Put(a->KZChangePlayback, nullptr);
  Put(a->KZChangeRecord, nullptr);
  Put(a->KZDisplayCoord, nullptr);
  Put(a->KZDisplayCoord2, nullptr);
  Put(a->KZEnd, KZEnd);
  Put(a->KZEnumFormats, nullptr);
  Put(a->KZEnumSources, nullptr);
  Put(a->KZFormatDialog, nullptr);
  Put(a->KZGetDisplay, nullptr);
  Put(a->KZGetDisplayImage, nullptr);
  Put(a->KZGetDisplayRate, nullptr);
  Put(a->KZGetFileInfo, nullptr);
  Put(a->KZGetFileFormat, nullptr);
  Put(a->KZGetFormat, nullptr);
  Put(a->KZGetLastError, KZGetLastError);
  Put(a->KZGetPlayback, nullptr);
  Put(a->KZGetPlaybackFrame, nullptr);
  Put(a->KZGetPlaybackID, nullptr);
  Put(a->KZGetPlaybackImage, nullptr);
  Put(a->KZGetPlaybackInfo, nullptr);
  Put(a->KZGetPlaybackRate, nullptr);
  Put(a->KZGetRecord, nullptr);
  Put(a->KZGetRecordRate, nullptr);
  Put(a->KZImageToBitmap, nullptr);
  Put(a->KZIsSourceInUse, nullptr);
  Put(a->KZJulianToSystemTime, KZJulianToSystemTime);
  Put(a->KZLoadFrame, nullptr);
  Put(a->KZRefreshPlayback, nullptr);
  Put(a->KZSaveImage, nullptr);
  Put(a->KZSaveVideo, nullptr);
  Put(a->KZShowImage, nullptr);
  Put(a->KZStartDisplay, nullptr);
  Put(a->KZStartPlayback, nullptr);
  Put(a->KZStartRecord, nullptr);
  Put(a->KZStopAll, KZStopAll);
  Put(a->KZStopDisplay, KZStopDisplay);
  Put(a->KZStopPlayback, KZStopPlayback);
  Put(a->KZStopRecord, KZStopRecord);
  Put(a->KZSystemTimeToJulian, KZSystemTimeToJulian);
  Put(a->KZVersion, KZVersion);
  Put(a->KZWaitForDisplay, nullptr);
  Put(a->KZWaitForPlayback, nullptr);
}

}  // namespace kz
