// Reading AVI files made by the ffmpeg program, in order and by random position, the
// formats GetFrame delivers, and bad input.
#include <kzwin_test.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>

#include "platform/avi_test_util.h"

namespace {

using namespace avitest;

// Random positions give the frames reading in order gave: seeking back and across key
// frames decodes from the right key frame. (What the frames hold is checked against the
// raw file by the AVI playback tests.)
TEST(AviRead, FfmpegFilesReadInOrderAndAtRandom) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const int n = 30;
  for (const char* args : {"-c:v mjpeg -q:v 3", "-c:v mpeg4 -q:v 4 -g 7", "-c:v ffv1"}) {
    SCOPED_TRACE(args);
    std::string path = Path("ff.avi");
    std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x72:rate=10 -frames:v 30 " +
                      std::string(args) + " '" + path + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto inOrder = ReadAll(path);
    ASSERT_EQ(inOrder.size(), size_t(n));
    std::vector<LONG> order(n);
    for (int i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    order.insert(order.end(), {29, 0, 29, 13, 12, 12, 6});
    auto random = ReadAll(path, order);
    ASSERT_EQ(random.size(), size_t(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(random[i], inOrder[i]) << "frame " << i;
  }
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

// Drop chunks (zero length) repeat the previous picture and count as frames.
TEST(AviRead, DropChunksRepeatThePreviousPicture) {
  const int w = 32, h = 16;
  std::string path = Path("drops.avi");
  ASSERT_EQ(WritePattern(path, w, h, 3, 10000, nullptr), 0);
  // Turn chunk 1 into a drop chunk: its size becomes 0 and its index entry follows.
  auto bytes = FileBytes(path);
  size_t movi = 0;
  for (size_t i = 0; i + 4 < bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], "movi", 4) == 0) {
      movi = i;
      break;
    }
  }
  ASSERT_GT(movi, 0u);
  size_t frameBytes = size_t(Stride(w)) * h;
  size_t second = movi + 4 + 8 + frameBytes;  // "00db" size data of chunk 0, then chunk 1
  ASSERT_EQ(std::memcmp(&bytes[second], &bytes[movi + 4], 4), 0);
  // Keep the file's shape: chunk 1 becomes an empty chunk followed by a JUNK chunk.
  std::memset(&bytes[second + 4], 0, 4);
  std::memcpy(&bytes[second + 8], "JUNK", 4);
  uint32_t junk = uint32_t(frameBytes - 8);
  std::memcpy(&bytes[second + 12], &junk, 4);
  for (size_t i = bytes.size() - 16 * 3; i + 16 <= bytes.size(); i += 16) {
    if (std::memcmp(&bytes[i], &bytes[movi + 4], 4) == 0 && i == bytes.size() - 32) {
      std::memset(&bytes[i + 12], 0, 4);  // second index entry: size 0
    }
  }
  WriteBytes(path, bytes);
  EXPECT_EQ(ReadAll(path), (std::vector{Pattern(w, h, 0), Pattern(w, h, 0), Pattern(w, h, 2)}));
}

// A start offset in the stream header does not turn into that many empty frames before
// the first chunk: the stream is as long as its chunks, whatever the offset.
TEST(AviRead, AStartOffsetAddsNoFrames) {
  const int w = 32, h = 16;
  std::string path = Path("start.avi");
  ASSERT_EQ(WritePattern(path, w, h, 3, 10000, nullptr), 0);
  const auto written = FileBytes(path);
  for (uint32_t start : {0u, 1u, 600000000u}) {
    SCOPED_TRACE(start);
    auto bytes = written;
    auto strh = std::search(bytes.begin(), bytes.end(), "strh", "strh" + 4);
    ASSERT_NE(strh, bytes.end());
    std::memcpy(&*(strh + 8 + 28), &start, 4);  // dwStart
    WriteBytes(path, bytes);
    PAVISTREAM s = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
    const LONG length = AVIStreamLength(s);
    AVIStreamRelease(s);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(ReadAll(path), (std::vector{Pattern(w, h, 0), Pattern(w, h, 1), Pattern(w, h, 2)}));
  }
}

TEST(AviRead, GetFrameDeliversTheFormatsAskedFor) {
  const int w = 64, h = 48;
  std::string path = Path("formats.avi");
  ASSERT_EQ(WriteAvi(path, 0, w, h, 2), 0);
  PAVISTREAM s = nullptr;
  ASSERT_EQ(AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
  struct Case {
    DWORD fourcc;
    WORD bits;
    bool opens;
    DWORD image;
  } cases[] = {
      {0, 24, true, DWORD(Stride(w) * h)},
      {0, 16, true, DWORD(((2 * w + 3) & ~3) * h)},
      {0, 8, false, 0},  // a 24-bit stream has no palette to index
      {mmioFOURCC('Y', 'U', 'Y', '2'), 16, true, DWORD(2 * w * h)},
      {mmioFOURCC('U', 'Y', 'V', 'Y'), 16, true, DWORD(2 * w * h)},
      {mmioFOURCC('I', '4', '2', '0'), 12, true, DWORD(w * h * 3 / 2)},
      {mmioFOURCC('Y', '8', '0', '0'), 8, true, DWORD(w * h)},
      {mmioFOURCC('Y', 'V', 'U', '9'), 9, true, DWORD(((w * 9 / 8 + 3) & ~3) * h)},
      {mmioFOURCC('Y', '4', '4', '4'), 24, true, DWORD(3 * w * h)},
      {mmioFOURCC('Y', '4', '1', '1'), 12, true, DWORD(w * h * 3 / 2)},
      {mmioFOURCC('M', 'J', 'P', 'G'), 24, false, 0},
      {mmioFOURCC('I', '4', '2', '0'), 16, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fourcc);
    BITMAPINFOHEADER want = Rgb24Header(w, h);
    want.biCompression = c.fourcc;
    want.biBitCount = c.bits;
    PGETFRAME g = AVIStreamGetFrameOpen(s, &want);
    EXPECT_EQ(g != nullptr, c.opens) << c.bits;
    if (!g) continue;
    auto* dib = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(g, 1));
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(std::tuple(dib->biCompression, dib->biBitCount, dib->biSizeImage, dib->biWidth,
                         dib->biHeight),
              std::tuple(c.fourcc, c.bits, c.image, LONG{w}, LONG{h}));
    if (c.fourcc == mmioFOURCC('Y', '8', '0', '0')) {
      // Full-range luma: the green-dominated box of frame 1 is bright, the corner dark.
      auto* y = reinterpret_cast<const uint8_t*>(dib) + 40;
      auto rgb = Pattern(w, h, 1);
      const uint8_t* px = &rgb[size_t(h - 1) * Stride(w)];  // top-left pixel
      int expect = int(0.299 * px[2] + 0.587 * px[1] + 0.114 * px[0] + 0.5);
      EXPECT_NEAR(y[0], expect, 2);
    }
    AVIStreamGetFrameClose(g);
  }
  // A size other than the stream's is refused; so is a frame outside the stream.
  BITMAPINFOHEADER other = Rgb24Header(w * 2, h);
  EXPECT_EQ(AVIStreamGetFrameOpen(s, &other), nullptr);
  PGETFRAME g = AVIStreamGetFrameOpen(s, nullptr);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(AVIStreamGetFrame(g, -1), nullptr);
  EXPECT_EQ(AVIStreamGetFrame(g, 2), nullptr);
  EXPECT_NE(AVIStreamGetFrame(g, 0), nullptr);
  EXPECT_EQ(AVIStreamGetFrameClose(g), 0);
  EXPECT_EQ(AVIStreamGetFrameClose(g), AVIERR_BADHANDLE);
  AVIStreamRelease(s);
}

TEST(AviRead, PalettedStreamsGiveIndicesAndTheirTable) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  std::string path = Path("pal8.avi");
  std::string cmd =
      "ffmpeg -v error -y -f lavfi -i testsrc=size=40x30:rate=5 -frames:v 3 "
      "-c:v rawvideo -pix_fmt pal8 '" +
      path + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  PAVISTREAM s = nullptr;
  ASSERT_EQ(AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
  LONG size = 0;
  ASSERT_EQ(AVIStreamReadFormat(s, 0, nullptr, &size), 0);
  ASSERT_EQ(size, 40 + 1024);
  std::vector<uint8_t> format(size);
  ASSERT_EQ(AVIStreamReadFormat(s, 0, format.data(), &size), 0);
  BITMAPINFOHEADER bih;
  std::memcpy(&bih, format.data(), 40);
  EXPECT_EQ(std::pair(bih.biBitCount, bih.biClrUsed), std::pair(WORD{8}, DWORD{256}));
  BITMAPINFOHEADER want = Rgb24Header(40, 30);
  want.biBitCount = 8;
  PGETFRAME g8 = AVIStreamGetFrameOpen(s, &want);
  PGETFRAME g24 = AVIStreamGetFrameOpen(s, nullptr);
  ASSERT_NE(g8, nullptr);
  ASSERT_NE(g24, nullptr);
  for (LONG i = 0; i < 3; ++i) {
    auto* p8 = static_cast<const uint8_t*>(AVIStreamGetFrame(g8, i));
    auto* p24 = static_cast<const uint8_t*>(AVIStreamGetFrame(g24, i));
    ASSERT_TRUE(p8 && p24);
    // Looking every index up in the delivered table gives the 24-bit picture.
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 40; ++x) {
        uint8_t index = p8[40 + 1024 + y * 40 + x];
        for (int k = 0; k < 3; ++k) {
          ASSERT_EQ(p8[40 + 4 * index + k], p24[40 + y * Stride(40) + 3 * x + k]) << x << "," << y;
        }
      }
    }
  }
  AVIStreamGetFrameClose(g8);
  AVIStreamGetFrameClose(g24);
  AVIStreamRelease(s);
}

TEST(AviRead, BadFilesFailWithCodes) {
  const int w = 48, h = 32;
  std::string good = Path("good.avi");
  ASSERT_EQ(WriteAvi(good, mmioFOURCC('M', 'J', 'P', 'G'), w, h, 10), 0);
  auto bytes = FileBytes(good);
  ASSERT_GT(bytes.size(), 300u);

  PAVIFILE f = nullptr;
  EXPECT_EQ(AVIFileOpenA(&f, Path("missing.avi").c_str(), 0, nullptr), AVIERR_FILEOPEN);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(AVIFileOpenA(&f, ScratchDir().c_str(), 0, nullptr), AVIERR_FILEREAD);
  WriteBytes(Path("empty.avi"), {});
  EXPECT_EQ(AVIFileOpenA(&f, Path("empty.avi").c_str(), 0, nullptr), AVIERR_BADFORMAT);
  WriteBytes(Path("text.avi"), std::vector<uint8_t>(1000, 'x'));
  EXPECT_EQ(AVIFileOpenA(&f, Path("text.avi").c_str(), 0, nullptr), AVIERR_BADFORMAT);
  WriteBytes(Path("head.avi"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12));
  EXPECT_EQ(AVIFileOpenA(&f, Path("head.avi").c_str(), 0, nullptr), AVIERR_BADFORMAT);

  // Truncated at every length: never a crash; what opens delivers only frames it holds.
  for (size_t cut = 12; cut < bytes.size(); cut += std::max<size_t>(1, bytes.size() / 97)) {
    std::string path = Path("cut.avi");
    WriteBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
    PAVISTREAM s = nullptr;
    if (AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr) != 0) continue;
    LONG n = AVIStreamLength(s);
    EXPECT_LE(n, 10) << cut;
    PGETFRAME g = AVIStreamGetFrameOpen(s, nullptr);
    if (g) {
      for (LONG i = 0; i < n; ++i) AVIStreamGetFrame(g, i);
      AVIStreamGetFrameClose(g);
    }
    AVIStreamRelease(s);
  }

  EXPECT_EQ(kzwinAviLiveObjects(), 0) << "after cuts";
  // Absurd frame sizes in the header: the stream opens, but no frames are promised.
  auto absurd = bytes;
  for (size_t i = 0; i + 8 < absurd.size(); ++i) {
    if (std::memcmp(&absurd[i], "strf", 4) == 0) {
      uint32_t huge = 0x7FFFFFF0u;
      std::memcpy(&absurd[i + 12], &huge, 4);  // biWidth
      std::memcpy(&absurd[i + 16], &huge, 4);  // biHeight
      break;
    }
  }
  WriteBytes(Path("absurd.avi"), absurd);
  PAVISTREAM s = nullptr;
  if (AVIStreamOpenFromFileA(&s, Path("absurd.avi").c_str(), streamtypeVIDEO, 0, 0, nullptr) == 0) {
    EXPECT_EQ(AVIStreamGetFrameOpen(s, nullptr), nullptr);
    AVIStreamRelease(s);
  }

  EXPECT_EQ(kzwinAviLiveObjects(), 0) << "after absurd";
  // An AVI with only an audio stream has no video stream to give.
  if (HaveProgram("ffmpeg")) {
    std::string audio = Path("audio.avi");
    std::string cmd =
        "ffmpeg -v error -y -f lavfi -i sine=duration=0.2 -c:a pcm_s16le '" + audio + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(AVIStreamOpenFromFileA(&s, audio.c_str(), streamtypeVIDEO, 0, 0, nullptr),
              AVIERR_NODATA);
    EXPECT_EQ(s, nullptr);
  }
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

TEST(AviRead, ReadFormatCopiesAtMostTheCallersSize) {
  std::string path = Path("fmt.avi");
  ASSERT_EQ(WriteAvi(path, 0, 20, 10, 1), 0);
  PAVISTREAM s = nullptr;
  ASSERT_EQ(AVIStreamOpenFromFileA(&s, path.c_str(), streamtypeVIDEO, 0, 0, nullptr), 0);
  uint8_t buf[64];
  std::memset(buf, 0xAB, sizeof buf);
  LONG size = 16;
  EXPECT_EQ(AVIStreamReadFormat(s, 0, buf, &size), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(size, 40);
  EXPECT_EQ(buf[0], 40);
  EXPECT_EQ(buf[16], 0xAB);  // nothing past the caller's 16 bytes
  size = sizeof buf;
  EXPECT_EQ(AVIStreamReadFormat(s, 0, buf, &size), 0);
  EXPECT_EQ(size, 40);
  AVISTREAMINFOA info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(AVIStreamInfoA(s, &info, 8), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(info.fccType, streamtypeVIDEO);
  EXPECT_EQ(info.dwFlags, 0xABABABABu);
  EXPECT_EQ(AVIStreamRelease(s), 0u);
  EXPECT_EQ(AVIStreamRelease(s), 0u);  // a released stream is no longer known
  EXPECT_EQ(AVIStreamInfoA(s, &info, sizeof info), AVIERR_BADHANDLE);
}

}  // namespace
