// Writing AVI files through every handler and reading them back, with ffprobe as the
// outside judge.
#include <kzwin_test.h>

#include <tuple>

#include "platform/avi_test_util.h"

namespace {

using namespace avitest;

bool HasH264() {
  AVICOMPRESSOPTIONS o{};
  o.fccHandler = mmioFOURCC('H', '2', '6', '4');
  return AviWriter(Path("probe-h264.avi"), 16, 16, &o).compressed != nullptr;
}

TEST(AviWrite, EveryHandlerRoundTrips) {
  struct Case {
    DWORD handler;
    const char* codec;  // ffprobe's codec_name
    double minPsnr;     // 99 = lossless
  } cases[] = {
      {0, "rawvideo", 99},
      {mmioFOURCC('F', 'F', 'V', '1'), "ffv1", 99},
      {mmioFOURCC('M', 'J', 'P', 'G'), "mjpeg", 30},
      {mmioFOURCC('X', 'V', 'I', 'D'), "mpeg4", 30},
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
    ASSERT_EQ(
        AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, OF_SHARE_DENY_NONE, nullptr),
        0);
    AVISTREAMINFOA info{};
    ASSERT_EQ(AVIStreamInfoA(s, &info, sizeof info), 0);
    EXPECT_EQ(std::tuple(info.dwLength, double(info.dwRate) / info.dwScale, info.rcFrame.right,
                         info.rcFrame.bottom),
              std::tuple(DWORD(frames), 25.0, LONG{w}, LONG{h}));
    AVIStreamRelease(s);

    auto got = ReadAll(path);
    ASSERT_EQ(got.size(), size_t(frames));
    for (int n = 0; n < frames; ++n) {
      EXPECT_GE(Psnr(got[n], Pattern(w, h, n), w, h), c.minPsnr) << "frame " << n;  // 99: exact
    }

    const auto probed =
        Probe(path,
              "stream=codec_name,width,height,nb_read_frames,r_frame_rate -show_entries "
              "format=nb_streams");
    if (!probed) continue;
    for (const std::string& entry :
         {std::string("codec_name=") + c.codec, "width=" + std::to_string(w),
          "height=" + std::to_string(h), "nb_read_frames=" + std::to_string(frames),
          std::string("r_frame_rate=25/1"), std::string("nb_streams=1")}) {
      EXPECT_NE(probed->find(entry), std::string::npos) << entry << "\n" << *probed;
    }
  }
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

// Key-frame flags of the video chunks, from the file's idx1.
std::vector<bool> KeyFlags(const std::string& path) {
  auto b = FileBytes(path);
  std::vector<bool> keys;
  for (size_t i = 0; i + 8 <= b.size(); ++i) {
    if (std::memcmp(&b[i], "idx1", 4) != 0) continue;
    uint32_t size;
    std::memcpy(&size, &b[i + 4], 4);
    for (size_t e = i + 8; e + 16 <= b.size() && e + 16 <= i + 8 + size; e += 16) {
      uint32_t flags;
      std::memcpy(&flags, &b[e + 4], 4);
      if (b[e + 2] == 'd') keys.push_back((flags & 0x10) != 0);
    }
    break;
  }
  return keys;
}

TEST(AviWrite, KeyFramesComeFromTheEncoder) {
  struct Case {
    DWORD handler;
    DWORD every;
    int period;  // expected key-frame period (1: every frame)
  } cases[] = {
      {mmioFOURCC('X', 'V', 'I', 'D'), 5, 5}, {mmioFOURCC('X', 'V', 'I', 'D'), 1, 1},
      {mmioFOURCC('M', 'J', 'P', 'G'), 5, 1},  // intra-only codecs: every chunk is a key
      {mmioFOURCC('F', 'F', 'V', '1'), 4, 4}, {0, 5, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.handler);
    std::string path = Path("keys.avi");
    // The caller flags every frame a key frame; the file says what the encoder made.
    ASSERT_EQ(WriteAvi(path, c.handler, 48, 32, 12, 25000, c.every), 0);
    auto keys = KeyFlags(path);
    ASSERT_EQ(keys.size(), 12u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(keys[i], i % c.period == 0) << "chunk " << i;
  }
}

TEST(AviWrite, QualityChangesTheOutput) {
  std::string low = Path("q0.avi"), high = Path("q10000.avi");
  const int w = 320, h = 240;
  ASSERT_EQ(WriteAvi(low, mmioFOURCC('m', 'j', 'p', 'g'), w, h, 3, 25000, 0, 0), 0);
  ASSERT_EQ(WriteAvi(high, mmioFOURCC('m', 'j', 'p', 'g'), w, h, 3, 25000, 0, 10000), 0);
  EXPECT_GT(FileBytes(high).size(), FileBytes(low).size());
  auto a = ReadAll(low), b = ReadAll(high);
  ASSERT_TRUE(a.size() == 3 && b.size() == 3);
  EXPECT_GT(Psnr(b[2], Pattern(w, h, 2), w, h), Psnr(a[2], Pattern(w, h, 2), w, h) + 6);
}

TEST(AviWrite, AppendContinuesTheStreamOrRefuses) {
  const int w = 64, h = 48;
  const DWORD mjpg = mmioFOURCC('M', 'J', 'P', 'G');
  std::string path = Path("append.avi");
  ASSERT_EQ(WriteAvi(path, mjpg, w, h, 10), 0);
  auto before = ReadAll(path);
  auto original = FileBytes(path);
  ASSERT_EQ(before.size(), 10u);

  // Another codec, or another size, is refused and the file stays as it was.
  struct Refusal {
    DWORD handler;
    int width;
    HRESULT make;
    HRESULT format;
  } refusals[] = {{mmioFOURCC('F', 'F', 'V', '1'), w, AVIERR_BADFORMAT, 0},
                  {0, w, AVIERR_BADFORMAT, 0},
                  {mjpg, w * 2, 0, AVIERR_BADFORMAT}};
  for (const Refusal& r : refusals) {
    PAVIFILE f = nullptr;
    ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_SHARE_DENY_NONE | OF_READWRITE, nullptr), 0);
    PAVISTREAM v = nullptr, c = nullptr;
    ASSERT_EQ(AVIFileGetStream(f, &v, streamtypeVIDEO, 0), 0);
    AVICOMPRESSOPTIONS o{};
    o.fccHandler = r.handler;
    EXPECT_EQ(AVIMakeCompressedStream(&c, v, &o, nullptr), r.make);
    if (c) {
      BITMAPINFOHEADER b = Rgb24Header(r.width, h);
      EXPECT_EQ(AVIStreamSetFormat(c, 0, &b, sizeof b), r.format);
      AVIStreamRelease(c);
    }
    AVIStreamRelease(v);
    AVIFileRelease(f);
    EXPECT_EQ(FileBytes(path), original);
  }

  // The same codec continues: new frames follow at the stream's length.
  PAVIFILE f = nullptr;
  ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_SHARE_DENY_NONE | OF_READWRITE, nullptr), 0);
  PAVISTREAM v = nullptr, c = nullptr;
  ASSERT_EQ(AVIFileGetStream(f, &v, streamtypeVIDEO, 0), 0);
  AVISTREAMINFOA info{};
  ASSERT_EQ(AVIStreamInfoA(v, &info, sizeof info), 0);
  ASSERT_EQ(info.dwLength, 10u);
  AVICOMPRESSOPTIONS o{};
  o.fccHandler = mmioFOURCC('m', 'j', 'p', 'g');
  o.dwQuality = 0xFFFFFFFFu;  // the compressor's default
  ASSERT_EQ(AVIMakeCompressedStream(&c, v, &o, nullptr), 0);
  for (int n = 10; n < 15; ++n) {
    auto bits = Pattern(w, h, n);
    ASSERT_EQ(
        AVIStreamWrite(c, n, 1, bits.data(), LONG(bits.size()), AVIIF_KEYFRAME, nullptr, nullptr),
        0);
  }
  EXPECT_EQ(AVIStreamLength(c), 15);
  EXPECT_EQ(FileBytes(path), original);  // replaced only once complete
  AVIStreamRelease(c);
  AVIStreamRelease(v);
  EXPECT_EQ(AVIFileRelease(f), 0u);
  EXPECT_FALSE(std::filesystem::exists(path + "~kzappend"));
  auto after = ReadAll(path);
  ASSERT_EQ(after.size(), 15u);
  for (int n = 0; n < 10; ++n) EXPECT_EQ(after[n], before[n]) << n;
  for (int n = 10; n < 15; ++n) EXPECT_GE(Psnr(after[n], Pattern(w, h, n), w, h), 28) << n;
  if (const auto probed = Probe(path, "stream=nb_read_frames")) {
    EXPECT_NE(probed->find("nb_read_frames=15"), std::string::npos) << *probed;
  }

  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

TEST(AviWrite, ReferencesKeepFilesAndSourcesAlive) {
  const int w = 32, h = 24;
  std::string path = Path("refs.avi");
  PAVIFILE f = nullptr;
  ASSERT_EQ(AVIFileOpenA(&f, path.c_str(), OF_CREATE, nullptr), 0);
  PAVISTREAM v = nullptr, c = nullptr, again = nullptr;
  AVISTREAMINFOA info = VideoInfo(w, h, 10000);
  ASSERT_EQ(AVIFileCreateStreamA(f, &v, &info), 0);
  ASSERT_EQ(AVIFileGetStream(f, &again, streamtypeVIDEO, 0), 0);
  EXPECT_EQ(again, v);
  EXPECT_EQ(AVIStreamRelease(again), 1u);
  AVICOMPRESSOPTIONS o{};
  o.fccHandler = mmioFOURCC('F', 'F', 'V', '1');
  ASSERT_EQ(AVIMakeCompressedStream(&c, v, &o, nullptr), 0);
  // The caller lets go of the file and the plain stream first: the compressed stream
  // still holds them.
  EXPECT_EQ(AVIFileRelease(f), 1u);    // the stream's reference
  EXPECT_EQ(AVIStreamRelease(v), 1u);  // the compressed stream's reference
  BITMAPINFOHEADER b = Rgb24Header(w, h);
  ASSERT_EQ(AVIStreamSetFormat(c, 0, &b, sizeof b), 0);
  for (int n = 0; n < 3; ++n) {
    auto bits = Pattern(w, h, n);
    ASSERT_EQ(AVIStreamWrite(c, n, 1, bits.data(), LONG(bits.size()), 0, nullptr, nullptr), 0);
  }
  EXPECT_GT(kzwinAviLiveObjects(), 0);
  EXPECT_EQ(AVIStreamRelease(c), 0u);
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
  auto frames = ReadAll(path);  // complete as soon as the last reference went
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2], Pattern(w, h, 2));
}

TEST(AviWrite, SaveOptionsKeepsTheCallersChoiceAndBlocks) {
  uint8_t parms[5] = {1, 2, 3, 4, 5};
  BITMAPINFOHEADER format = Rgb24Header(8, 8);
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO, o.fccHandler = mmioFOURCC('M', 'J', 'P', 'G'), o.dwQuality = 8000;
  o.lpParms = parms, o.cbParms = sizeof parms, o.lpFormat = &format, o.cbFormat = sizeof format;
  AVICOMPRESSOPTIONS copy = o;
  LPAVICOMPRESSOPTIONS list[1] = {&o};
  EXPECT_TRUE(
      AVISaveOptions(nullptr, ICMF_CHOOSE_KEYFRAME | ICMF_CHOOSE_DATARATE, 1, nullptr, list));
  EXPECT_EQ(std::memcmp(&o, &copy, sizeof o), 0);
  EXPECT_EQ(AVISaveOptionsFree(1, list), 0);
  // The blocks were the caller's: they are neither freed nor forgotten.
  EXPECT_EQ(o.lpParms, parms);
  EXPECT_EQ(o.lpFormat, &format);
  EXPECT_FALSE(AVISaveOptions(nullptr, 0, 0, nullptr, list));
}

}  // namespace
