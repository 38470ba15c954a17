// KZAVIOptionsDialog: the system's compression-options dialog, shown for a throw-away AVI
// stream, and the chosen options kept as a block in the store and for the caller.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>

#include "export/avi_options.h"
#include "frame/blocks.h"
#include "frame/errors.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

// The dialog needs a stream to show its choices for: one RGB24 frame of 80 x 60.
constexpr int kProbeWidth = 80;
constexpr int kProbeHeight = 60;

// Options that name a compressor the system does not have count as no options.
void ForgetUnknownCompressor(PAVISTREAM stream, AVICOMPRESSOPTIONS* o) {
  if (o->fccHandler == 0) return;
  PAVISTREAM probe = nullptr;
  if (AVIMakeCompressedStream(&probe, stream, o, nullptr) == AVIERR_NOCOMPRESSOR) {
    FreeAviOptionBlocks(o);
  }
  if (probe) AVIStreamRelease(probe);
}

}  // namespace
}  // namespace kz

extern "C" KZHGLOBAL KZAPI KZAVIOptionsDialog(KZHWND owner, uint32_t flags, KZHGLOBAL options) {
  using namespace kz;
  SetError(0);
  char folder[256] = {};
  GetTempPathA(255, folder);
  char temp[MAX_PATH + 16];
  std::snprintf(temp, sizeof temp, "%s~kztemp.avi", folder);
  DeleteFileA(temp);

  PAVIFILE file = nullptr;
  if (AVIFileOpenA(&file, temp, OF_CREATE | OF_SHARE_DENY_NONE | OF_READWRITE, nullptr) != 0) {
    DeleteFileA(temp);
    SetError(KZ_ERR_OPTIONS_TEMP);
    return nullptr;
  }
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1000;
  info.dwRate = 30000;
  info.dwQuality = 0xFFFFFFFFu;
  info.rcFrame = {0, 0, kProbeWidth, kProbeHeight};
  std::strcpy(info.szName, "Obtain options");
  PAVISTREAM stream = nullptr;
  if (AVIFileCreateStreamA(file, &stream, &info) != 0) {
    AVIFileRelease(file);
    DeleteFileA(temp);
    SetError(KZ_ERR_OPTIONS_TEMP);
    return nullptr;
  }
  alignas(4) uint8_t header[1064];
  auto* bih = reinterpret_cast<BITMAPINFO*>(header);
  uint32_t headerBytes = BuildCaptureHeader(bih, kProbeWidth, kProbeHeight, *FormatByCode(1));
  AVIStreamSetFormat(stream, 0, bih, static_cast<LONG>(headerBytes));
  static uint8_t frame[kProbeWidth * kProbeHeight * 3];  // its contents do not matter
  AVIStreamWrite(stream, 0, 1, frame, sizeof frame, 0, nullptr, nullptr);

  AVICOMPRESSOPTIONS chosen{};
  ReadAviOptions(options, &chosen);
  ForgetUnknownCompressor(stream, &chosen);
  // Our own blocks, remembered apart: the dialog may put blocks of its own in their place.
  void* ownFormat = chosen.lpFormat;
  void* ownParms = chosen.lpParms;

  LPAVICOMPRESSOPTIONS list[1] = {&chosen};
  PAVISTREAM streams[1] = {stream};
  BOOL confirmed = AVISaveOptions(owner ? owner : GetDesktopWindow(),
                                  ICMF_CHOOSE_KEYFRAME | ICMF_CHOOSE_DATARATE, 1, streams, list);
  uint8_t* block = nullptr;
  uint32_t blockSize = 0;
  if (confirmed) {
    blockSize = AviOptionsBlockSize(chosen);
    block = blockSize ? static_cast<uint8_t*>(BlockAlloc(blockSize)) : nullptr;
    if (!block) {
      SetError(KZ_ERR_MEMORY);
      confirmed = FALSE;
    } else {
      EncodeAviOptions(chosen, block);
    }
  }
  AVISaveOptionsFree(1, list);
  BlockFree(ownFormat);
  BlockFree(ownParms);
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  DeleteFileA(temp);

  if (!confirmed) {
    if (GetError() == 0) SetError(KZ_ERR_OPTIONS_CANCELLED);
    return nullptr;
  }
  bool stored = StoreAviOptions(block, blockSize);
  if (flags & KZ_OPTIONS_STORE_ONLY) {
    BlockFree(block);
    // Only the store was asked for: a store that did not take the options is a failure.
    if (!stored) {
      SetError(KZ_ERR_OPTIONS_CANCELLED);
      return nullptr;
    }
    return KZ_OPTIONS_STORED;
  }
  return BlockHandOver(block);
}
