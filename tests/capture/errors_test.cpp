// Every error code of the source, format and dialog functions, in one table.
#include <functional>

#include "capture_fixture.h"
#include "expect_call.h"

namespace kz::test {
namespace {

using CaptureErrors = CaptureTest;

TEST_F(CaptureErrors, EveryCodeOfEveryFunction) {
  const uint32_t other = KZBegin(nullptr);
  HWND window =
      CreateWindowExA(0, nullptr, "w", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  SetCamera(1, [](KZWIN_CAMERA& c) { c.failConnect = TRUE; });  // source 2
  // Source 3: readable by nobody, accepts nothing.
  SetCamera(2, [](KZWIN_CAMERA& c) {
    StartIn(c, 320, 240, MAKEFOURCC('M', 'J', 'P', 'G'), 24);
    c.refuseAllFormats = TRUE;
  });
  SetCamera(3, [](KZWIN_CAMERA& c) { c.reportFormatBytes = 20; });    // 4: below a header
  SetCamera(4, [](KZWIN_CAMERA& c) { c.reportFormatBytes = 2000; });  // 5: past a palette
  auto noDialogs = [](KZWIN_CAMERA& c) { c.noSourceDialog = c.noFormatDialog = TRUE; };
  SetCamera(5, noDialogs);  // source 6
  StoreBytes(7, Entries({{640, 480, 6}, {320, 240, 6}}));
  FakeStream(8, other, kDisplayBit | kGrabBit, false, window);
  SetCamera(7, noDialogs);  // source 8's driver, in use by the stream

  KZSOURCE sources[10];
  KZFORMAT formats[10];
  KZFORMAT format;
  struct Case {
    const char* call;
    std::function<int64_t()> run;
    int64_t result;
    uint32_t error;
  };
// clang-format off
#define ROW(call, result, error) Case{#call, [&] { return int64_t(call); }, result, error}
  // clang-format on
  auto withoutMemory = [&](auto call) {
    kzwinFailAllocAfter(0);
    const int64_t r = call();
    kzwinFailAllocAfter(-1);
    return r;
  };
  const Case cases[] = {
      ROW(KZEnumSources(0xBAD, sources, 10, 0), 0, KZ_ERR_SESSION),
      ROW(KZEnumSources(session_, sources, 2, 0), 6, KZ_ERR_SOURCE_LIST_SHORT),
      ROW(KZEnumSources(session_, sources, 10, 0), 6, 0),
      ROW(KZIsSourceInUse(0xBAD, 8, nullptr), 0, KZ_ERR_SESSION),
      ROW(KZIsSourceInUse(session_, 8, nullptr), 0, KZ_ERR_OTHER_SESSION),
      ROW(KZIsSourceInUse(other, 8, GetDesktopWindow()), 0, KZ_ERR_OTHER_WINDOW),
      ROW(KZIsSourceInUse(other, 8, window), 5, 0),
      ROW(KZIsSourceInUse(0, 8, window), 5, 0),
      ROW(KZIsSourceInUse(other, 4, nullptr), 0, 0),  // idle source
      ROW(KZIsSourceInUse(other, 0, nullptr), 0, 0),  // free entries never answer for 0
      ROW(KZEnumFormats(0xBAD, 1, formats, 10, 0), 0, KZ_ERR_SESSION),
      ROW(KZEnumFormats(session_, 0, formats, 10, 0), 0, KZ_ERR_SOURCE),
      ROW(KZEnumFormats(session_, 11, formats, 10, 0), 0, KZ_ERR_SOURCE),
      ROW(KZEnumFormats(session_, 10, formats, 10, 1), 0, KZ_ERR_SOURCE),
      ROW(KZEnumFormats(session_, 2, formats, 10, 0), 0, KZ_ERR_SOURCE),
      ROW(KZEnumFormats(other, 8, formats, 10, 2), 0, KZ_ERR_SOURCE_IN_USE),
      ROW(KZEnumFormats(session_, 3, formats, 10, 0), 0, KZ_ERR_NO_FORMAT),
      ROW(KZEnumFormats(session_, 7, formats, 1, 3), 1, KZ_ERR_FORMAT_LIST_SHORT),
      ROW(withoutMemory([&] { return KZEnumFormats(session_, 7, formats, 10, 3); }), 0,
          KZ_ERR_MEMORY),
      ROW(KZEnumFormats(session_, 1, formats, 10, 3), 0, KZ_ERR_NOT_STORED),
      ROW(KZGetFormat(0xBAD, 1, &format), 0, KZ_ERR_SESSION),
      ROW(KZGetFormat(session_, 1, nullptr), 0, KZ_ERR_NULL),
      ROW(KZGetFormat(session_, 11, &format), 0, KZ_ERR_SOURCE),
      ROW(KZGetFormat(session_, 2, &format), 0, KZ_ERR_SOURCE),
      ROW(KZGetFormat(session_, 3, &format), 0, KZ_ERR_PIXEL_FORMAT),
      ROW(KZGetFormat(session_, 4, &format), 0, KZ_ERR_PIXEL_FORMAT),
      ROW(KZGetFormat(session_, 5, &format), 0, KZ_ERR_PIXEL_FORMAT),
      ROW(KZGetFormat(session_, 1, &format), 1, 0),
      ROW(KZCameraDialog(0xBAD, 1, nullptr, 0), 0, KZ_ERR_SESSION),
      ROW(KZCameraDialog(session_, 0, nullptr, 0), 0, KZ_ERR_SOURCE),
      ROW(KZCameraDialog(session_, 2, nullptr, 0), 0, KZ_ERR_SOURCE),
      ROW(KZCameraDialog(session_, 8, nullptr, 0), 0, KZ_ERR_SOURCE_IN_USE),
      ROW(KZCameraDialog(session_, 6, nullptr, 1), 0, KZ_ERR_NO_DIALOG),
      ROW(KZFormatDialog(0xBAD, 1, nullptr, 0, &format), 0, KZ_ERR_SESSION),
      ROW(KZFormatDialog(session_, 11, nullptr, 0, &format), 0, KZ_ERR_SOURCE),
      ROW(KZFormatDialog(0, 8, nullptr, 0, &format), 0, KZ_ERR_SOURCE_IN_USE),
      ROW(KZFormatDialog(session_, 6, nullptr, 0, &format), 0, KZ_ERR_NO_DIALOG),
      ROW(KZFormatDialog(session_, 4, nullptr, 0, &format), 0, KZ_ERR_PIXEL_FORMAT),
  };
#undef ROW
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_CALL_ERR(c.run(), c.result, c.error);
  }
  DestroyWindow(window);
  ClearFakes();
  KZEnd(other);
}

}  // namespace
}  // namespace kz::test
