// Writing AVI files through every handler and reading them back, with ffprobe as the
// outside judge.
#include <sys/resource.h>
#include <signal.h>

#include <kzwin_test.h>

#include <fstream>
#include <sstream>

#include "platform/avi_test_util.h"

namespace {

using namespace avitest;

struct AviEnv : ::testing::Environment {
  void SetUp() override { AVIFileInit(); }
  void TearDown() override { AVIFileExit(); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new AviEnv);

bool HasH264() {
  PAVIFILE f = nullptr;
  std::string p = Path("probe-h264.avi");
  if (AVIFileOpenA(&f, p.c_str(), OF_CREATE, nullptr) != 0) return false;
  PAVISTREAM v = nullptr, c = nullptr;
  AVISTREAMINFOA info = VideoInfo(16, 16, 25000);
  AVIFileCreateStreamA(f, &v, &info);
  AVICOMPRESSOPTIONS o{};
  o.fccHandler = mmioFOURCC('H', '2', '6', '4');
  bool ok = AVIMakeCompressedStream(&c, v, &o, nullptr) == 0;
  if (c) AVIStreamRelease(c);
  AVIStreamRelease(v);
  AVIFileRelease(f);
  return ok;
}

TEST(AviWrite, EveryHandlerRoundTrips) {
  struct Case {
    DWORD handler;
    const char* codec;  // ffprobe's codec_name
    double minPsnr;     // 99 = lossless
  } cases[] = {
      {0, "rawvideo", 99},
      {mmioFOURCC('D', 'I', 'B', ' '), "rawvideo", 99},
      {mmioFOURCC('F', 'F', 'V', '1'), "ffv1", 99},
      {mmioFOURCC('M', 'J', 'P', 'G'), "mjpeg", 30},
      {mmioFOURCC('X', 'V', 'I', 'D'), "mpeg4", 30},
      {mmioFOURCC('F', 'M', 'P', '4'), "mpeg4", 30},
      {mmioFOURCC('H', '2', '6', '4'), "h264", 30},
  };
  const int w = 98, h = 70, frames = 12;  // odd stride: rows are padded
  bool h264 = HasH264();
  for (const Case& c : cases) {
    if (c.handler == mmioFOURCC('H', '2', '6', '4') && !h264) {
      std::printf("no H.264 encoder in this FFmpeg: H264 case skipped\n");
      continue;
    }
    SCOPED_TRACE(c.codec);
    std::string path = Path(std::string("rt-") + c.codec + std::to_string(c.handler) + ".avi");
    ASSERT_EQ(WriteAvi(path, c.handler, w, h, frames, 25000), 0);
    PAVISTREAM s = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, OF_SHARE_DENY_NONE,
                                     nullptr),
              0);
    AVISTREAMINFOA info{};
    ASSERT_EQ(AVIStreamInfoA(s, &info, sizeof info), 0);
    EXPECT_EQ(info.dwLength, DWORD(frames));
    EXPECT_EQ(double(info.dwRate) / info.dwScale, 25.0);
    EXPECT_EQ(info.rcFrame.right, w);
    EXPECT_EQ(info.rcFrame.bottom, h);
    AVIStreamRelease(s);

    auto got = ReadAll(path);
    ASSERT_EQ(got.size(), size_t(frames));
    for (int n = 0; n < frames; ++n) {
      auto want = Pattern(w, h, n);
      double psnr = Psnr(got[n], want, w, h);
      if (c.minPsnr >= 99) {
        EXPECT_EQ(psnr, 99.0) << "frame " << n << " not lossless";
      } else {
        EXPECT_GE(psnr, c.minPsnr) << "frame " << n;
      }
    }

    if (!HaveProgram("ffprobe")) {
      std::printf("ffprobe missing: outside check skipped\n");
      continue;
    }
    std::string out = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=codec_name,width,height,nb_read_frames,r_frame_rate "
                          "-show_entries format=nb_streams -of default=nw=1 '" +
                          path + "'");
    EXPECT_NE(out.find(std::string("codec_name=") + c.codec), std::string::npos) << out;
    EXPECT_NE(out.find("width=" + std::to_string(w)), std::string::npos) << out;
    EXPECT_NE(out.find("height=" + std::to_string(h)), std::string::npos) << out;
    EXPECT_NE(out.find("nb_read_frames=" + std::to_string(frames)), std::string::npos) << out;
    EXPECT_NE(out.find("r_frame_rate=25/1"), std::string::npos) << out;
    EXPECT_NE(out.find("nb_streams=1"), std::string::npos) << out;
  }
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

}  // namespace
