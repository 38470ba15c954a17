// Recording the test-pattern camera to AVI: every frame the filter let through comes back
// exactly through the AVI layer with a lossless compressor; failures end with their code.
#include <gtest/gtest.h>
#include <vfw.h>

#include <string>
#include <vector>

#include "avi_options_handle.h"
#include "export/avi_options.h"
#include "image/convert.h"
#include "platform/avi_test_util.h"
#include "recording_fixture.h"

namespace kz::rectest {
namespace {

constexpr uint32_t kYuy2 = Fourcc('Y', 'U', 'Y', '2');
constexpr int kStride = (3 * 160 + 3) & ~3;

// The camera's frame `n` as the AVI stream must hold it: 24-bit bottom-up rows.
std::vector<uint8_t> Expected(uint32_t n) {
  std::vector<uint8_t> yuy2(160 * 120 * 2), rows(size_t{kStride} * 120);
  kzwinRenderTestFrame(yuy2.data(), static_cast<DWORD>(yuy2.size()), 160, 120, kYuy2, 16, n);
  SourceFrame f{KZ_FORMAT_YUY2, 160, 120, yuy2, nullptr};
  EXPECT_TRUE(ConvertTo24(f, rows));
  return rows;
}

class RecordAviTest : public RecordTest {
 protected:
  // Starts an AVI recording of frames that the filter lets through up to `frames`.
  void Start(const std::string& file, HGLOBAL options, uint32_t frames, uint32_t flags = 0) {
    KZRECORD block = Block(file, KZ_KIND_AVI | flags);
    block.aviOptions = options;
    block.rate = 25;
    EXPECT_TRUE(StartCounted(block, frames)) << KZGetLastError();
  }
};

TEST_F(RecordAviTest, LosslessCompressorsGiveBackEveryFrameExactly) {
  constexpr uint32_t kFrames = 12;
  for (DWORD handler : {mmioFOURCC('F', 'F', 'V', '1'), mmioFOURCC('D', 'I', 'B', ' ')}) {
    SCOPED_TRACE(handler);
    // The manual clock starts just below its wrap, which comes during the recording.
    kzwinUseManualClock(TRUE, 0xFFFFFF00u);
    const std::string file = Path("take" + std::to_string(handler) + ".avi");
    HGLOBAL options = AviOptionsHandle(handler);
    Start(file, options, kFrames);
    ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= kFrames; }));
    // Every sleeping thread moves the manual clock: the stop's limit would pass in far less
    // real time than closing the encoder takes. The frames' times are all taken by now.
    kzwinUseManualClock(FALSE, 0);
    ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1)
        << KZGetLastError() << " ended " << seen.ends.load() << " with " << seen.endCode.load();
    ASSERT_TRUE(WaitUntil([] { return seen.ends.load() == 1; }));
    EXPECT_EQ(seen.endCode.load(), 0u);
    GlobalFree(options);

    if (const auto probed = avitest::Probe(file, "stream=nb_read_frames")) {
      EXPECT_EQ(*probed, "nb_read_frames=" + std::to_string(kFrames) + "\n");
    }
    PAVISTREAM s = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&s, file.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
    AVISTREAMINFOA info{};
    AVIStreamInfoA(s, &info, sizeof info);
    AVIStreamRelease(s);
    EXPECT_EQ(info.fccHandler, handler);
    const std::vector<std::vector<uint8_t>> frames = avitest::ReadAll(file);
    ASSERT_EQ(frames.size(), kFrames);
    DWORD previous = 0;
    for (size_t i = 0; i < kFrames; ++i) {
      SCOPED_TRACE(i);
      DWORD n = 0;
      ASSERT_TRUE(
          kzwinDecodeTestFrame(frames[i].data(), DWORD(frames[i].size()), 160, 120, 0, 24, &n));
      EXPECT_TRUE(i == 0 || n > previous) << n << " after " << previous;
      previous = n;
      EXPECT_EQ(frames[i], Expected(n));
    }
    // The rate was restated from the frames' times: scale 1000 and the frame time to match.
    const std::vector<uint8_t> head = ReadAll(file);
    ASSERT_GT(head.size(), 136u);
    const uint32_t rate = GetU32(&head[132]);
    EXPECT_EQ(GetU32(&head[128]), 1000u);
    ASSERT_NE(rate, 0u);
    EXPECT_EQ(GetU32(&head[32]), 1000000000u / rate);
  }
}

// With the picture as shown, the display's show step writes the pictures it shows.
TEST_F(RecordAviTest, PictureAsShownComesFromTheDisplay) {
  KZDISPLAY d = Display();
  ASSERT_EQ(KZStartDisplay(&d), 1) << KZGetLastError();
  const std::string file = Path("shown.avi");
  HGLOBAL options = AviOptionsHandle(mmioFOURCC('F', 'F', 'V', '1'));
  Start(file, options, 0xFFFFFFFFu, KZ_AVI_AS_SHOWN);
  ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= 1; }));  // the output is open
  ASSERT_TRUE(WaitFrames(1, 3));
  ASSERT_EQ(KZStopAll(session_, 0, nullptr), 1);
  ASSERT_TRUE(WaitUntil([] { return seen.ends.load() == 1; }));
  EXPECT_EQ(seen.endCode.load(), 0u);
  GlobalFree(options);
  PAVISTREAM s = nullptr;
  ASSERT_EQ(AVIStreamOpenFromFileA(&s, file.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
  AVISTREAMINFOA info{};
  AVIStreamInfoA(s, &info, sizeof info);
  AVIStreamRelease(s);
  EXPECT_EQ(info.rcFrame.right, 160);  // shown at the captured size
  EXPECT_EQ(info.rcFrame.bottom, 120);
  EXPECT_GE(info.dwLength, 2u);
}

TEST_F(RecordAviTest, WriterFailuresEndWithTheirCodeNeverWithSuccess) {
  struct Case {
    const char* what;
    DWORD handler;
    LONGLONG writable;  // bytes the disk takes, -1: no limit
    uint32_t code;
  };
  const Case cases[] = {
      {"missing compressor", mmioFOURCC('Z', 'Z', 'Z', 'Z'), -1, KZ_ERR_COMPRESSOR},
      {"full disk", mmioFOURCC('D', 'I', 'B', ' '), 150000, KZ_ERR_AVI_WRITE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HGLOBAL options = AviOptionsHandle(c.handler);
    kzwinFailWritesAfter(c.writable);
    Start(Path(std::string(c.what) + ".avi"), options, 0xFFFFFFFFu);
    ASSERT_TRUE(PumpUntil([] { return seen.ends.load() == 1; }));
    // A stop asked after the failure changes nothing.
    KZStopRecord(session_, 1, nullptr);
    EXPECT_EQ(seen.endCode.load(), c.code);
    kzwinFailWritesAfter(-1);
    GlobalFree(options);
    // The idle stream the failure left goes with the next stop call.
    ASSERT_TRUE(PumpUntil([&] {
      KZStopRecord(session_, 1, nullptr);
      return EntriesInUse() == 0;
    }));
  }
}

}  // namespace
}  // namespace kz::rectest
