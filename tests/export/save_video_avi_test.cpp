// KZSaveVideo into compressed AVI files and from AVI files made by the ffmpeg program.
#include <vfw.h>

#include <cstdio>

#include "avi_options_handle.h"
#include "export/avi_options.h"
#include "platform/avi_test_util.h"
#include "save_video_fixture.h"

namespace kz::exptest {
namespace {

// The frames of an AVI file as 24-bit bottom-up rows, its rate and its handler.
struct AviFrames {
  double rate = 0;
  DWORD handler = 0;
  std::vector<std::vector<uint8_t>> frames;
};
AviFrames ReadAvi(const std::string& path) {
  AviFrames r{0, 0, avitest::ReadAll(path)};
  PAVISTREAM s = nullptr;
  if (AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr) != 0) return r;
  AVISTREAMINFOA info{};
  AVIStreamInfoA(s, &info, sizeof info);
  r.rate = info.dwScale ? double(info.dwRate) / info.dwScale : 0;
  r.handler = info.fccHandler;
  AVIStreamRelease(s);
  return r;
}

TEST_F(ExportTest, AviOutputHoldsTheChosenFramesAtTheOutputRate) {
  struct Case {
    DWORD handler;  // 0: the stored options (none: uncompressed)
    bool asShown;
    double speed, fixedRate;
    std::vector<int32_t> ranges, positions;
    const char* rate;  // as ffprobe states it
  };
  const Case cases[] = {
      {mmioFOURCC('D', 'I', 'B', ' '), false, 1, 0, {3, 5, 8, -1}, {3, 4, 5, 8}, "25/1"},
      {mmioFOURCC('F', 'F', 'V', '1'), false, 1, 30, {9, 7}, {9, 8, 7}, "30/1"},
      {mmioFOURCC('F', 'F', 'V', '1'), true, 2, 0, {0, 2}, {0, 1, 2}, "25/2"},
      {0, false, 1, 0, {6, -1}, {6}, "25/1"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    const std::string out = Path("out" + std::to_string(n++) + ".avi");
    KZEXPORT j = Job(out, KZ_KIND_AVI | (c.asShown ? KZ_AVI_AS_SHOWN : 0), c.ranges);
    std::snprintf(j.fileName, sizeof j.fileName, "%s", out.c_str());
    j.speed = c.speed;
    j.fixedRate = c.fixedRate;
    if (c.fixedRate != 0) j.exportFlags |= KZ_EXPORT_FIXED_RATE;
    if (c.handler) {
      j.aviOptions = AviOptionsHandle(c.handler);
      handles_.push_back(HGLOBAL{j.aviOptions});
    }
    ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE) << KZGetLastError();
    EXPECT_EQ(calls.endCode.load(), 0u);
    const AviFrames got = ReadAvi(out);
    if (c.handler) {
      EXPECT_EQ(got.handler, c.handler);
    }
    ASSERT_EQ(got.frames.size(), c.positions.size());
    for (size_t i = 0; i < got.frames.size(); ++i) {
      EXPECT_EQ(got.frames[i], kztest::FramePixels(spec_, c.positions[i])) << i;
    }
    if (const auto probed = avitest::Probe(out, "stream=r_frame_rate,nb_read_frames")) {
      EXPECT_EQ(*probed, "r_frame_rate=" + std::string(c.rate) +
                             "\nnb_read_frames=" + std::to_string(c.positions.size()) + "\n");
    }
  }
}

// An 8-bit picture as shown goes to the 24-bit AVI through its grey colour table.
TEST_F(ExportTest, EightBitPictureAsShownKeepsEveryFrame) {
  kztest::RecordingSpec grey = spec_;
  grey.format = KZ_FORMAT_RGB8;
  kztest::WriteRecording(Path("src.kzv"), grey, 0, 10);
  KZEXPORT j = Job("grey.avi", KZ_KIND_AVI | KZ_AVI_AS_SHOWN | KZ_OPEN_OVERWRITE, {2, 4});
  j.aviOptions = AviOptionsHandle(mmioFOURCC('D', 'I', 'B', ' '));
  handles_.push_back(HGLOBAL{j.aviOptions});
  ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE) << KZGetLastError();
  const size_t pixels = size_t{32} * 16;
  const AviFrames got = ReadAvi(Path("grey.avi"));
  ASSERT_EQ(got.frames.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    const std::vector<uint8_t> eight = kztest::FramePixels(grey, 2 + i);
    std::vector<uint8_t> want(3 * pixels);
    for (size_t p = 0; p < pixels; ++p) want[3 * p] = want[3 * p + 1] = want[3 * p + 2] = eight[p];
    EXPECT_EQ(got.frames[i], want) << i;
  }
}

TEST_F(ExportTest, FfmpegAviThroughLosslessKindAndBackKeepsEveryPixel) {
  if (!avitest::HaveProgram("ffmpeg")) GTEST_SKIP() << "no ffmpeg program";
  const std::string made = Path("made.avi");
  ASSERT_EQ(std::system(("ffmpeg -y -loglevel error -f lavfi -i testsrc=size=64x48:rate=10 "
                         "-frames:v 12 -c:v rawvideo -pix_fmt bgr24 '" +
                         made + "'")
                            .c_str()),
            0);
  KZEXPORT j = Job("mid.kzv", KZ_KIND_LOSSLESS);
  std::snprintf(j.sourceName, sizeof j.sourceName, "%s", made.c_str());
  ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE) << KZGetLastError();
  KZEXPORT back = Job("back.avi", KZ_KIND_AVI);
  std::snprintf(back.sourceName, sizeof back.sourceName, "%s", Path("mid.kzv").c_str());
  back.aviOptions = AviOptionsHandle(mmioFOURCC('F', 'F', 'V', '1'));
  handles_.push_back(HGLOBAL{back.aviOptions});
  ASSERT_EQ(KZSaveVideo(&back), KZ_EXPORT_DONE) << KZGetLastError();
  const AviFrames original = ReadAvi(made), copy = ReadAvi(Path("back.avi"));
  ASSERT_EQ(original.frames.size(), 12u);
  EXPECT_EQ(copy.frames, original.frames);
  EXPECT_EQ(copy.rate, 10.0);
}

TEST_F(ExportTest, AviWriterFailureEndsTheExportWithItsCode) {
  KZEXPORT j = Job("bad.avi", KZ_KIND_AVI);
  j.aviOptions = AviOptionsHandle(mmioFOURCC('Z', 'Z', 'Z', 'Z'));
  handles_.push_back(HGLOBAL{j.aviOptions});
  EXPECT_EQ(KZSaveVideo(&j), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_COMPRESSOR});
  EXPECT_EQ(calls.endCode.load(), uint32_t{KZ_ERR_COMPRESSOR});
  EXPECT_FALSE(std::filesystem::exists(Path("bad.avi")));
}

}  // namespace
}  // namespace kz::exptest
