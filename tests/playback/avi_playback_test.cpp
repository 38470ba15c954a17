// AVI files made by the ffmpeg program and by our own AVI layer: summaries, single frames
// by position, and playback into a window.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/blocks.h"
#include "image/publish.h"
#include "platform/avi_test_util.h"
#include "playback/file_info.h"
#include "playback/playback_io.h"
#include "playback/show_frame.h"
#include "recording_maker.h"

namespace {

class AviPlayback : public kztest::PlaybackTest {
 protected:
  // testsrc frames through the ffmpeg program; false when it is not there.
  bool Ffmpeg(const std::string& name, const char* codec) {
    const std::string cmd =
        "ffmpeg -y -loglevel error -f lavfi -i testsrc=size=64x48:rate=10 "
        "-frames:v 12 " +
        std::string(codec) + " '" + Path(name) + "'";
    return std::system(cmd.c_str()) == 0;
  }
  std::vector<uint8_t> Load(const std::string& name, int32_t index) {
    KZPLAYBACK b{};
    b.size = sizeof b, b.flags = KZ_PLAY_MOVE_START, b.index = index;
    HGLOBAL h = KZLoadFrame(Path(name).c_str(), &b, nullptr, 0);
    if (!h) return {};
    std::vector<uint8_t> out(GlobalSize(h));
    std::memcpy(out.data(), GlobalLock(h), out.size());
    GlobalUnlock(h);
    GlobalFree(h);
    EXPECT_EQ(std::pair(int32_t{b.index}, uint32_t{b.frame}),
              std::pair(index, static_cast<uint32_t>(index)));
    return out;
  }
};

double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / a.size();
}

TEST_F(AviPlayback, FfmpegFilesSummariseLoadAndSeekEveryCodec) {
  if (!Ffmpeg("raw.avi", "-c:v rawvideo -pix_fmt bgr24")) GTEST_SKIP() << "no ffmpeg program";
  ASSERT_TRUE(Ffmpeg("ffv1.avi", "-c:v ffv1"));
  ASSERT_TRUE(Ffmpeg("mjpeg.avi", "-c:v mjpeg -q:v 2"));
  ASSERT_TRUE(Ffmpeg("mpeg4.avi", "-c:v mpeg4 -q:v 2"));
  struct Case {
    const char* name;
    double maxDifference;  // mean per byte against the raw file; 0 = lossless
  } const cases[] = {{"raw.avi", 0}, {"ffv1.avi", 0}, {"mjpeg.avi", 12}, {"mpeg4.avi", 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(KZGetFileFormat(Path(c.name).c_str()), 256u);
    KZFILEINFO info{};
    info.size = sizeof info;
    ASSERT_EQ(KZGetFileInfo(Path(c.name).c_str(), &info, 0), 1) << KZGetLastError();
    EXPECT_EQ(std::tuple(info.kind, info.frameCount, info.width, info.height, info.format),
              std::tuple(256u, 12, 64, 48, static_cast<uint32_t>(KZ_FORMAT_RGB24)));
    // 11 frames at 10 per second; one file.
    EXPECT_EQ(std::tuple(info.lastFrame, info.lastMsLow, info.sequenceFirst, info.sequenceCount),
              std::tuple(11u, 1100u, -1, 1));
    for (int32_t i : {0, 5, 11}) {
      const auto got = Load(c.name, i);
      ASSERT_EQ(got.size(), 64u * 48 * 3) << i;
      const auto raw = Load("raw.avi", i);
      if (c.maxDifference == 0) {
        EXPECT_EQ(got, raw) << i;
      } else {
        EXPECT_LT(MeanDifference(got, raw), c.maxDifference) << i;
        // Lossy or not, the frame is nearer to its own original than to any other.
        for (int32_t j = 0; j < 12; ++j) {
          if (j == i) continue;
          EXPECT_LT(MeanDifference(got, raw), MeanDifference(got, Load("raw.avi", j))) << j;
        }
      }
    }
    // Frames differ from one another, so a load that lands on the wrong one is seen.
    EXPECT_GT(MeanDifference(Load(c.name, 3), Load(c.name, 9)), 1.0);
  }
  // Seeking by time lands on the last frame not after it.
  struct Seek {
    uint32_t mode;
    uint64_t ms;
    uint32_t frame;
  } const seeks[] = {{KZ_PLAY_MODE_MS, 0, 0},    {KZ_PLAY_MODE_MS, 199, 1},
                     {KZ_PLAY_MODE_MS, 200, 2},  {KZ_PLAY_MODE_MS, 5000, 11},
                     {KZ_PLAY_MODE_FRAME, 0, 0}, {KZ_PLAY_MODE_FRAME, 7, 7},
                     {KZ_PLAY_MODE_INDEX, 0, 0}};
  for (const Seek& c : seeks) {
    KZPLAYBACK b{};
    b.size = sizeof b, b.flags = KZ_PLAY_MOVE_START | c.mode, b.msLow = static_cast<uint32_t>(c.ms);
    b.frame = c.mode == KZ_PLAY_MODE_FRAME ? c.frame : 0;
    HGLOBAL h = KZLoadFrame(Path("raw.avi").c_str(), &b, nullptr, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(b.frame, c.frame) << c.mode << " " << c.ms;
    GlobalFree(h);
  }
}

TEST_F(AviPlayback, OwnAviPlaysEveryFrameInOrderAndLoadsExactly) {
  // Uncompressed, through our own AVI layer.
  ASSERT_EQ(avitest::WriteAvi(Path("own.avi"), 0, 32, 16, 8), 0);
  for (int32_t i : {0, 4, 7}) EXPECT_EQ(Load("own.avi", i), avitest::Pattern(32, 16, i)) << i;
  for (double rate : {1.0, -1.0}) {
    kztest::ForgetShown();
    KZPLAYBACK b = Block(rate, KZ_PLAY_END | (rate < 0 ? KZ_PLAY_MOVE_END : 0), "own.avi");
    ASSERT_NE(KZStartPlayback(&b), 0u) << KZGetLastError();
    ASSERT_TRUE(kztest::WaitFor(kztest::Ended));
    std::vector<uint32_t> want;
    for (int i = 0; i < 8; ++i) want.push_back(static_cast<uint32_t>(rate > 0 ? i : 7 - i));
    EXPECT_EQ(kztest::Frames(kztest::Taken()), want) << rate;
  }
}

// A frame the AVI layer cannot give keeps the picture shown before it on screen, not
// whatever its ring slot held before, and the playback goes on.
TEST_F(AviPlayback, AMissingFrameKeepsThePictureShownBefore) {
  ASSERT_EQ(avitest::WriteAvi(Path("own.avi"), 0, 32, 16, 8), 0);
  const int blocksBefore = kz::BlockCount();
  {
    auto e = std::make_unique<kz::StreamRecord>();
    kz::PlaybackState& p = e->play;
    p.sequenceInfo.size = sizeof(KZFILEINFO);
    uint32_t error = 0;
    ASSERT_TRUE(kz::FileInfoOf(Path("own.avi").c_str(), &p.sequenceInfo, 0, &error)) << error;
    e->playback.size = sizeof(KZPLAYBACK);
    e->playback.flags = KZ_PLAY_MOVE_START;
    std::snprintf(e->playback.fileName, sizeof e->playback.fileName, "%s", Path("own.avi").c_str());
    KZDISPLAY& d = e->display;
    d.size = sizeof(KZDISPLAY), d.width = p.sequenceInfo.width, d.height = p.sequenceInfo.height;
    d.format = p.sequenceInfo.format, d.bitCount = p.sequenceInfo.bitCount;
    kz::PreparePlaybackShow(e.get());
    ASSERT_EQ(kz::SeekPlayback(e.get()), kz::kSeekDone);
    auto current = [&] { return e->ring + size_t{e->readCount.load()} * e->frameBytes; };
    for (int n = 0; n < 2; ++n) {
      ASSERT_EQ(kz::ReadPlaybackFrame(e.get(), false), 1);
      EXPECT_EQ(std::vector<uint8_t>(current(), current() + e->frameBytes),
                avitest::Pattern(32, 16, n))
          << n;
      kz::ShowPlaybackFrame(e.get());
    }
    const int blocksRunning = kz::BlockCount();
    // The frame reader closed under it: no picture for frame 2.
    AVIStreamGetFrameClose(p.aviGetFrame);
    ASSERT_EQ(kz::ReadPlaybackFrame(e.get(), false), 1);
    EXPECT_EQ(std::vector<uint8_t>(current(), current() + e->frameBytes),
              avitest::Pattern(32, 16, 1));
    EXPECT_EQ(kz::BlockCount(), blocksRunning);
    p.aviGetFrame = nullptr;
    kz::FreePlaybackMemory(e.get());
    kz::ClearPublished(*e);
    kz::BlockFree(p.spareFrame);
    kz::BlockFree(e->ring);
    kz::ReleaseShow(*e);
  }
  EXPECT_EQ(kz::BlockCount(), blocksBefore);
}

}  // namespace
