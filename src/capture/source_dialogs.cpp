// KZCameraDialog and KZFormatDialog: the driver's own dialogs, on the running stream's
// capture window or on a temporary one, with every format the driver is left in noted.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <new>
#include <optional>

#include "capture/capture_window.h"
#include "capture/driver_format.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "image/pixfmt.h"

namespace kz {
namespace {

enum class Dialog { Source, Format };

int RunDriverDialog(Dialog which, uint32_t session, uint32_t source, HWND owner, uint32_t flags,
                    KZFORMAT* format) {
  SetError(0);
  if (!CheckSession(session)) return 0;
  if (source < 1 || source > kSourceCount) return Fail(KZ_ERR_SOURCE);
  if (!owner) owner = GetActiveWindow();
  const SourceStream stream = FindSourceStream(source);
  std::optional<TemporaryCaptureWindow> temporary;
  HWND window;
  if (stream.found) {
    if (session == 0 || stream.session != session) return Fail(KZ_ERR_SOURCE_IN_USE);
    window = stream.captureWindow;
  } else {
    temporary.emplace(source, owner);
    window = temporary->get();
    if (!window) return Fail(KZ_ERR_SOURCE);
  }

  CAPDRIVERCAPS caps;
  std::memset(&caps, 0, sizeof caps);
  CapSend(window, WM_CAP_DRIVER_GET_CAPS, sizeof caps, reinterpret_cast<LPARAM>(&caps));
  const BOOL has = which == Dialog::Source ? caps.fHasDlgVideoSource : caps.fHasDlgVideoFormat;
  if (!has) return Fail(KZ_ERR_NO_DIALOG);
  if (flags != 0) return 1;

  NoteCurrentFormat(source, window);
  const UINT message = which == Dialog::Source ? WM_CAP_DLG_VIDEOSOURCE : WM_CAP_DLG_VIDEOFORMAT;
  int result = 2;
  if (CapSend(window, message) == 0) {
    SetError(KZ_ERR_NO_DIALOG);
    result = 0;
  }
  if (NoteCurrentFormat(source, window) != 0) result = 3;

  if (which == Dialog::Format && format) {
    std::optional<StoredFormat> current = ReadCurrentFormat(window);
    if (!current) return Fail(KZ_ERR_PIXEL_FORMAT);
    const PixelFormat* row = FormatByCode(current->code);
    format->width = current->width;
    format->height = current->height;
    format->format = current->code;
    format->bitCount = row ? static_cast<int32_t>(row->bits) : 0;
  }
  return result;
}

}  // namespace
}  // namespace kz

extern "C" {

int KZAPI KZCameraDialog(uint32_t session, uint32_t source, KZHWND owner, uint32_t flags) {
  try {
    return kz::RunDriverDialog(kz::Dialog::Source, session, source, owner, flags, nullptr);
  } catch (const std::bad_alloc&) {
    return kz::Fail(KZ_ERR_MEMORY);
  }
}

int KZAPI KZFormatDialog(uint32_t session, uint32_t source, KZHWND owner, uint32_t flags,
                         KZFORMAT* format) {
  try {
    return kz::RunDriverDialog(kz::Dialog::Format, session, source, owner, flags, format);
  } catch (const std::bad_alloc&) {
    return kz::Fail(KZ_ERR_MEMORY);
  }
}

}  // extern "C"
