// Every error code of the source, format and dialog functions, in one table.
#include <functional>

#include "capture_fixture.h"

namespace kz::test {
namespace {

using CaptureErrors = CaptureTest;

TEST_F(CaptureErrors, EveryCodeOfEveryFunction) {
  const uint32_t other = KZBegin(nullptr);
  HWND window =
      CreateWindowExA(0, nullptr, "w", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  KZWIN_CAMERA broken = Camera();
  broken.failConnect = TRUE;
  kzwinSetCamera(1, &broken);  // source 2
  KZWIN_CAMERA mute = Camera();
  mute.startWidth = 320;
  mute.startHeight = 240;
  mute.startCompression = MAKEFOURCC('M', 'J', 'P', 'G');
  mute.startBitCount = 24;
  mute.refuseAllFormats = TRUE;
  kzwinSetCamera(2, &mute);  // source 3: readable by nobody, accepts nothing
  KZWIN_CAMERA tiny = Camera();
  tiny.reportFormatBytes = 20;
  kzwinSetCamera(3, &tiny);  // source 4: states a format size below a header's
  KZWIN_CAMERA huge = Camera();
  huge.reportFormatBytes = 2000;
  kzwinSetCamera(4, &huge);  // source 5: states a size beyond a full palette
  KZWIN_CAMERA plain = Camera();
  plain.noSourceDialog = TRUE;
  plain.noFormatDialog = TRUE;
  kzwinSetCamera(5, &plain);  // source 6: no dialogs
  StoreBytes(7, Entries({{640, 480, 6}, {320, 240, 6}}));
  FakeStream(8, other, kDisplayBit | kGrabBit, false, window);
  kzwinSetCamera(7, &plain);  // source 8's driver, in use by the stream

  KZSOURCE sources[10];
  KZFORMAT formats[10];
  KZFORMAT format;
  struct Case {
    const char* what;
    std::function<int64_t()> call;
    int64_t result;
    uint32_t error;
  } cases[] = {
      {"sources bad session", [&] { return KZEnumSources(0xBAD, sources, 10, 0); }, 0,
       KZ_ERR_SESSION},
      {"sources list short", [&] { return KZEnumSources(session_, sources, 2, 0); }, 6,
       KZ_ERR_SOURCE_LIST_SHORT},
      {"sources fine", [&] { return KZEnumSources(session_, sources, 10, 0); }, 6, 0},
      {"in use bad session", [&] { return KZIsSourceInUse(0xBAD, 8, nullptr); }, 0, KZ_ERR_SESSION},
      {"in use other session", [&] { return KZIsSourceInUse(session_, 8, nullptr); }, 0,
       KZ_ERR_OTHER_SESSION},
      {"in use other window", [&] { return KZIsSourceInUse(other, 8, GetDesktopWindow()); }, 0,
       KZ_ERR_OTHER_WINDOW},
      {"in use", [&] { return KZIsSourceInUse(other, 8, window); }, 5, 0},
      {"enum bad session", [&] { return KZEnumFormats(0xBAD, 1, formats, 10, 0); }, 0,
       KZ_ERR_SESSION},
      {"enum source 0", [&] { return KZEnumFormats(session_, 0, formats, 10, 0); }, 0,
       KZ_ERR_SOURCE},
      {"enum source 11", [&] { return KZEnumFormats(session_, 11, formats, 10, 0); }, 0,
       KZ_ERR_SOURCE},
      {"enum no driver", [&] { return KZEnumFormats(session_, 10, formats, 10, 1); }, 0,
       KZ_ERR_SOURCE},
      {"enum connect fails", [&] { return KZEnumFormats(session_, 2, formats, 10, 0); }, 0,
       KZ_ERR_SOURCE},
      {"enum in use", [&] { return KZEnumFormats(other, 8, formats, 10, 2); }, 0,
       KZ_ERR_SOURCE_IN_USE},
      {"enum nothing accepted", [&] { return KZEnumFormats(session_, 3, formats, 10, 0); }, 0,
       KZ_ERR_NO_FORMAT},
      {"enum list short", [&] { return KZEnumFormats(session_, 7, formats, 1, 3); }, 1,
       KZ_ERR_FORMAT_LIST_SHORT},
      {"enum no memory",
       [&] {
         kzwinFailAllocAfter(0);
         int64_t r = KZEnumFormats(session_, 7, formats, 10, 3);
         kzwinFailAllocAfter(-1);
         return r;
       },
       0, KZ_ERR_MEMORY},
      {"enum not stored", [&] { return KZEnumFormats(session_, 1, formats, 10, 3); }, 0,
       KZ_ERR_NOT_STORED},
      {"get bad session", [&] { return KZGetFormat(0xBAD, 1, &format); }, 0, KZ_ERR_SESSION},
      {"get null", [&] { return KZGetFormat(session_, 1, nullptr); }, 0, KZ_ERR_NULL},
      {"get source 11", [&] { return KZGetFormat(session_, 11, &format); }, 0, KZ_ERR_SOURCE},
      {"get connect fails", [&] { return KZGetFormat(session_, 2, &format); }, 0, KZ_ERR_SOURCE},
      {"get unknown format", [&] { return KZGetFormat(session_, 3, &format); }, 0,
       KZ_ERR_PIXEL_FORMAT},
      {"get short size", [&] { return KZGetFormat(session_, 4, &format); }, 0, KZ_ERR_PIXEL_FORMAT},
      {"get long size", [&] { return KZGetFormat(session_, 5, &format); }, 0, KZ_ERR_PIXEL_FORMAT},
      {"get", [&] { return KZGetFormat(session_, 1, &format); }, 1, 0},
      {"camera bad session", [&] { return KZCameraDialog(0xBAD, 1, nullptr, 0); }, 0,
       KZ_ERR_SESSION},
      {"camera source 0", [&] { return KZCameraDialog(session_, 0, nullptr, 0); }, 0,
       KZ_ERR_SOURCE},
      {"camera connect fails", [&] { return KZCameraDialog(session_, 2, nullptr, 0); }, 0,
       KZ_ERR_SOURCE},
      {"camera in use", [&] { return KZCameraDialog(session_, 8, nullptr, 0); }, 0,
       KZ_ERR_SOURCE_IN_USE},
      {"camera none", [&] { return KZCameraDialog(session_, 6, nullptr, 1); }, 0, KZ_ERR_NO_DIALOG},
      {"format bad session", [&] { return KZFormatDialog(0xBAD, 1, nullptr, 0, &format); }, 0,
       KZ_ERR_SESSION},
      {"format source 11", [&] { return KZFormatDialog(session_, 11, nullptr, 0, &format); }, 0,
       KZ_ERR_SOURCE},
      {"format in use", [&] { return KZFormatDialog(0, 8, nullptr, 0, &format); }, 0,
       KZ_ERR_SOURCE_IN_USE},
      {"format none", [&] { return KZFormatDialog(session_, 6, nullptr, 0, &format); }, 0,
       KZ_ERR_NO_DIALOG},
      {"format unreadable after", [&] { return KZFormatDialog(session_, 4, nullptr, 0, &format); },
       0, KZ_ERR_PIXEL_FORMAT},
  };
  for (Case& c : cases) {
    EXPECT_EQ(c.call(), c.result) << c.what;
    EXPECT_EQ(KZGetLastError(), c.error) << c.what;
  }
  DestroyWindow(window);
  ClearFakes();
  KZEnd(other);
}

}  // namespace
}  // namespace kz::test
