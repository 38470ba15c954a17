// kzvideo run as a person runs it: every subcommand on the test-pattern camera, its exit
// code, its messages, and the files it writes read back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ToolDir : ::testing::Environment {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/kztool-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};
auto* const kDir = static_cast<ToolDir*>(::testing::AddGlobalTestEnvironment(new ToolDir));

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Result {
  int exit = -1;
  std::string out, err;
};

// Runs the tool in the scratch folder with its own registry and no display.
Result Tool(const std::string& args, const std::string& env = "") {
  const std::string d = kDir->dir;
  const std::string cmd = "cd " + d + " && env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME=" + d +
                          "/config " + env + " " + KZ_TOOL_PATH + " " + args + " >" + d +
                          "/out.txt 2>" + d + "/err.txt";
  Result r;
  const int status = std::system(cmd.c_str());
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(d + "/out.txt");
  r.err = Slurp(d + "/err.txt");
  return r;
}

struct Rgb {
  int w = 0, h = 0;
  std::vector<uint32_t> px;  // 0x00RRGGBB, top row first
};

uint32_t Le(const std::string& b, size_t at) {
  return uint8_t(b[at]) | uint8_t(b[at + 1]) << 8 | uint8_t(b[at + 2]) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint32_t Be(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) << 24 | uint8_t(b[at + 1]) << 16 | uint8_t(b[at + 2]) << 8 |
         uint8_t(b[at + 3]);
}

// 24 or 32-bit BMP files, either row order.
bool ReadBmp(const std::string& path, Rgb* img) {
  const std::string b = Slurp(path);
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || Le(b, 2) != b.size()) return false;
  const int32_t w = int32_t(Le(b, 18)), hs = int32_t(Le(b, 22));
  const int bits = uint8_t(b[28]);
  if ((bits != 24 && bits != 32) || w <= 0 || hs == 0) return false;
  const int h = hs < 0 ? -hs : hs;
  const size_t stride = ((size_t(w) * bits + 31) / 32) * 4, at = Le(b, 10);
  if (at + stride * h > b.size()) return false;
  img->w = w, img->h = h;
  img->px.resize(size_t(w) * h);
  for (int y = 0; y < h; ++y) {
    const size_t row = at + size_t(hs < 0 ? y : h - 1 - y) * stride;
    for (int x = 0; x < w; ++x) {
      const size_t p = row + size_t(x) * bits / 8;
      img->px[size_t(y) * w + x] = uint8_t(b[p + 2]) << 16 | uint8_t(b[p + 1]) << 8 | uint8_t(b[p]);
    }
  }
  return true;
}

// The tool's PNG files: 8-bit RGB, every chunk's CRC checked, rows of filter type 0.
bool ReadPng(const std::string& path, Rgb* img) {
  const std::string b = Slurp(path);
  if (b.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
  std::string idat;
  bool ended = false;
  for (size_t at = 8; at + 12 <= b.size() && !ended;) {
    const uint32_t n = Be(b, at);
    if (at + 12 + n > b.size()) return false;
    const std::string type = b.substr(at + 4, 4);
    const auto* data = reinterpret_cast<const Bytef*>(b.data() + at + 4);
    if (crc32(0, data, 4 + n) != Be(b, at + 8 + n)) return false;
    if (type == "IHDR") {
      img->w = int(Be(b, at + 8)), img->h = int(Be(b, at + 12));
      if (b[at + 16] != 8 || b[at + 17] != 2) return false;
    } else if (type == "IDAT") {
      idat += b.substr(at + 8, n);
    }
    ended = type == "IEND";
    at += 12 + n;
  }
  const size_t rowBytes = 1 + 3 * size_t(img->w);
  std::vector<uint8_t> raw(rowBytes * img->h);
  uLongf got = raw.size();
  if (!ended ||
      uncompress(raw.data(), &got, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) !=
          Z_OK ||
      got != raw.size()) {
    return false;
  }
  img->px.resize(size_t(img->w) * img->h);
  for (int y = 0; y < img->h; ++y) {
    const uint8_t* r = raw.data() + size_t(y) * rowBytes;
    if (r[0] != 0) return false;
    for (int x = 0; x < img->w; ++x) {
      img->px[size_t(y) * img->w + x] = r[1 + 3 * x] << 16 | r[2 + 3 * x] << 8 | r[3 + 3 * x];
    }
  }
  return true;
}

struct Case {
  const char* args;
  int exit;
  const char* says;    // in stdout (exit 0) or stderr (otherwise)
  const char* writes;  // a file that must exist afterwards, or null
  const char* env = "";
};

// In order: later rows read what earlier rows wrote.
const Case kCases[] = {
    {"version", 0, "(0x", nullptr},
    {"time 2000-01-01T12:00:00", 0, "2451545.00000000", nullptr},
    {"sources", 0, " 1  ", nullptr},
    {"formats 1", 0, "YUY2", nullptr},
    {"record 1 --frames 10 --kind lossless rec.kzv", 0, "10 frames recorded", "rec.kzv"},
    {"record 1 --frames 4 --kind raw raw.kzv", 0, "4 frames recorded", "raw.kzv"},
    {"info rec.kzv", 0, "frames      10 ", nullptr},
    {"info raw.kzv --full", 0, "frames      4 ", nullptr},
    {"play rec.kzv --headless --speed 50 --snapshot play.png", 0, "played to the end (10 frames)",
     "play.png"},
    {"frame rec.kzv -1 --out last.bmp", 0, "written to last.bmp", "last.bmp"},
    {"frame rec.kzv -1 --out last.png", 0, "written to last.png", "last.png"},
    {"show 1 --frames 3 --snapshot show.bmp", 0, "snapshot: show.bmp", "show.bmp"},
    {"convert last.bmp --format I420 --out conv.png", 0, "conv.png: 320x240 I420", "conv.png"},
    {"options", 0, "no stored options", nullptr},
    {"options --handler mjpg --quality 9000", 0, "handler     MJPG (Motion JPEG)\nquality     9000",
     nullptr},
    {"options", 0, "handler     MJPG", nullptr},
    // Progress: plain lines into a pipe, the bar when asked for.
    {"record 1 --frames 2 --kind raw p1.kzv", 0, "recording p1.kzv: 100% (2 of 2 frames)", nullptr},
    {"record 1 --frames 2 --kind raw p2.kzv", 0, "] 100% 2 of 2 frames", nullptr,
     "KZVIDEO_PROGRESS=bar"},
    // Bad command lines: exit 2 and a message naming the fault.
    {"nosuch", 2, "unknown command 'nosuch'", nullptr},
    {"record 1 --frames x --kind raw o.kzv", 2,
     "--frames takes a whole number from 1 to 100000000, not 'x'", nullptr},
    {"record 11 --frames 1 --kind raw o.kzv", 2, "SOURCE is a whole number from 1 to 10, not '11'",
     nullptr},
    {"record 1 --frames 1 --seconds 1 --kind raw o.kzv", 2, "give one of --frames and --seconds",
     nullptr},
    {"record 1 --frames 1 --kind zip o.kzv", 2, "--kind takes raw, lossless, lossy or avi",
     nullptr},
    {"show 1 --bogus", 2, "unknown option '--bogus'", nullptr},
    {"show 1 --frames", 2, "--frames needs a value (N)", nullptr},
    {"play", 2, "missing arguments", nullptr},
    {"info a b", 2, "unexpected argument 'b'", nullptr},
    {"frame rec.kzv 0 --out x.jpg", 2, "--out must name a .bmp or .png file", nullptr},
    {"options --quality 5", 2, "--quality and --keyframes go with --handler", nullptr},
    {"options --handler ZZZZ", 2, "--handler takes none, MJPG", nullptr},
    // The library's refusals: exit 1 and "error N: meaning".
    {"info missing.kzv", 1, "error 47: the file cannot be opened", nullptr},
    {"record 1 --frames 1 --kind raw rec.kzv", 1, "error 33: the output file exists already",
     nullptr},
    {"frame rec.kzv 99 --out f.bmp", 1, "error 54: the file cannot be positioned", nullptr},
};

TEST(Tool, SubcommandsExitCodesMessagesAndFiles) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.args);
    const Result r = Tool(c.args, c.env);
    EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
    const std::string& text = c.exit == 0 && std::string(c.env).empty() ? r.out + r.err : r.err;
    EXPECT_NE(text.find(c.says), std::string::npos) << "stdout: " << r.out << "\nstderr: " << r.err;
    if (c.writes) {
      EXPECT_TRUE(fs::exists(kDir->dir + "/" + c.writes));
    }
  }
  // Each file the rows wrote reads back as the same picture: BMP and PNG of the last frame,
  // and the last frame of the playback.
  Rgb bmp, png, played;
  ASSERT_TRUE(ReadBmp(kDir->dir + "/last.bmp", &bmp));
  ASSERT_TRUE(ReadPng(kDir->dir + "/last.png", &png));
  ASSERT_TRUE(ReadPng(kDir->dir + "/play.png", &played));
  EXPECT_EQ(bmp.w, 320);
  EXPECT_EQ(bmp.h, 240);
  EXPECT_EQ(png.px, bmp.px);
  EXPECT_EQ(played.px, bmp.px);
  Rgb shown;
  ASSERT_TRUE(ReadBmp(kDir->dir + "/show.bmp", &shown));
  EXPECT_EQ(shown.w, 320);
}

TEST(Tool, EveryCommandHasHelpWithAnExample) {
  const Result list = Tool("--help");
  ASSERT_EQ(list.exit, 0);
  int commands = 0;
  for (size_t at = list.out.find("\n  "); at != std::string::npos;
       at = list.out.find("\n  ", at + 1)) {
    const std::string name = list.out.substr(at + 3, list.out.find(' ', at + 3) - at - 3);
    SCOPED_TRACE(name);
    const Result r = Tool(name + " --help");
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("usage: kzvideo " + name), std::string::npos);
    EXPECT_NE(r.out.find("example:\n  kzvideo " + name), std::string::npos) << r.out;
    ++commands;
  }
  EXPECT_GE(commands, 11);
}

// xwd's dump of the root window as 0x00RRGGBB pixels.
bool ReadXwd(const std::string& path, Rgb* img) {
  const std::string b = Slurp(path);
  if (b.size() < 100) return false;
  const uint32_t headerSize = Be(b, 0), byteOrder = Be(b, 28), bytes = Be(b, 44) / 8,
                 stride = Be(b, 48), colours = Be(b, 76);
  img->w = int(Be(b, 16)), img->h = int(Be(b, 20));
  const size_t at = headerSize + size_t(colours) * 12;
  if (img->w <= 0 || (bytes != 3 && bytes != 4) || byteOrder != 0 || stride < bytes * img->w ||
      at + size_t(stride) * img->h > b.size()) {
    return false;
  }
  img->px.resize(size_t(img->w) * img->h);
  for (int y = 0; y < img->h; ++y) {
    for (int x = 0; x < img->w; ++x) {
      const size_t p = at + size_t(y) * stride + bytes * size_t(x);
      img->px[size_t(y) * img->w + x] =
          uint8_t(b[p]) | uint8_t(b[p + 1]) << 8 | uint8_t(b[p + 2]) << 16;
    }
  }
  return true;
}

TEST(Tool, ShowOpensAWindowOnTheScreenUnderXvfb) {
  if (!KZ_TOOL_ON_SCREEN) GTEST_SKIP() << "built without SDL2: kzvideo has no on-screen window";
  if (std::system("command -v xvfb-run >/dev/null && command -v xwd >/dev/null") != 0) {
    GTEST_SKIP() << "Xvfb (xvfb-run) or xwd is not installed: the on-screen window is not checked";
  }
  const std::string d = kDir->dir;
  // The picture the window must show: the test pattern as drawn, headless.
  ASSERT_EQ(Tool("show 1 --frames 1 --headless --snapshot ref.bmp").exit, 0);
  // Once the tool says the picture reached the screen, the screen is dumped and the tool
  // stopped; the waits only bound a hang.
  const std::string script = "cd " + d + " && XDG_CONFIG_HOME=" + d +
                             "/config ASAN_OPTIONS=detect_leaks=0 " +
                             "xvfb-run -a -s '-screen 0 640x480x24 -br' sh -c '" + KZ_TOOL_PATH +
                             " show 1 >shown.txt 2>&1 & pid=$!; i=0; "
                             "until grep -q \"shown in a window\" shown.txt || [ $i -ge 600 ]; do "
                             "i=$((i+1)); sleep 0.1; done; "
                             "xwd -root -silent -out shot.xwd; kill $pid; wait $pid; true'";
  ASSERT_EQ(std::system(script.c_str()), 0);
  ASSERT_NE(Slurp(d + "/shown.txt").find("shown in a window"), std::string::npos)
      << Slurp(d + "/shown.txt");
  Rgb screen, ref;
  ASSERT_TRUE(ReadXwd(d + "/shot.xwd", &screen));
  ASSERT_TRUE(ReadBmp(d + "/ref.bmp", &ref));
  // No window manager: the window sits centred. Its colour bars (the upper two thirds)
  // move with the frame number, so the screen must show the reference's bar colours there,
  // all of them, and little else.
  const int left = (screen.w - ref.w) / 2, top = (screen.h - ref.h) / 2, bars = ref.h * 2 / 3;
  ASSERT_GE(left, 0);
  std::map<uint32_t, int> colours;
  for (size_t i = 0; i < size_t(ref.w) * bars; ++i) ++colours[ref.px[i]];
  std::map<uint32_t, int> seen;
  for (int y = 0; y < bars; ++y) {
    for (int x = 0; x < ref.w; ++x) ++seen[screen.px[size_t(top + y) * screen.w + left + x]];
  }
  int matching = 0, bigBars = 0, bigBarsShown = 0;
  for (const auto& [colour, count] : seen) {
    if (colours.count(colour)) matching += count;
  }
  for (const auto& [colour, count] : colours) {
    if (count < ref.w * bars / 20) continue;  // a bar, not a mark
    ++bigBars;
    bigBarsShown += seen[colour] >= count / 2;
  }
  EXPECT_GE(bigBars, 8);
  EXPECT_EQ(bigBarsShown, bigBars);
  EXPECT_GE(matching, ref.w * bars * 95 / 100) << matching << " of " << ref.w * bars;
}

}  // namespace
