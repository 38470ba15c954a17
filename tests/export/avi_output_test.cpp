// AVI output of a stream: opening, writing, appending, failing, and the header correction.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "avi_options_handle.h"
#include "export/avi_options.h"
#include "export/avi_output.h"
#include "platform/avi_test_util.h"
#include "frame/blocks.h"

namespace kz {
namespace {

// The options store in the scratch folder (AVIFile and the folder come with avitest).
[[maybe_unused]] const bool kConfig = [] {
  setenv("XDG_CONFIG_HOME", avitest::Path("config").c_str(), 1);
  return std::filesystem::create_directories(avitest::Path("config"));
}();

using avitest::FileBytes;
using avitest::Stride;

std::vector<uint8_t> Frame(int w, int h, int n) {
  std::vector<uint8_t> f(size_t(Stride(w)) * h);
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 7 + n * 13);
  return f;
}

// Writes frames first..first+count-1 of size w x h; false at the first write that fails.
bool WriteFrames(StreamRecord* e, int w, int h, int first, int count = 1) {
  for (int n = first; n < first + count; ++n) {
    auto f = Frame(w, h, n);
    if (!WriteAviFrame(e, f.data(), uint32_t(f.size()), w, h)) return false;
  }
  return true;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

std::unique_ptr<StreamRecord> Entry(const std::string& name, uint32_t flags, double rate, int w,
                                    int h, HGLOBAL options = nullptr) {
  auto e = std::make_unique<StreamRecord>();
  e->record.size = sizeof(KZRECORD);
  std::snprintf(e->record.fileName, sizeof e->record.fileName, "%s", avitest::Path(name).c_str());
  e->record.fileFlags = KZ_KIND_AVI | flags;
  e->record.rate = rate;
  e->record.width = w;
  e->record.height = h;
  e->record.aviOptions = options;
  return e;
}

// Frames of the file through the platform's reader, as 24-bit bottom-up rows.
struct Read {
  AVISTREAMINFOA info{};
  std::vector<std::vector<uint8_t>> frames;
};
Read ReadBack(const char* path) {
  Read r;
  PAVISTREAM s = nullptr;
  if (AVIStreamOpenFromFileA(&s, path, streamtypeVIDEO, 0, 0, nullptr) != 0) return r;
  AVIStreamInfoA(s, &r.info, sizeof r.info);
  AVIStreamRelease(s);
  r.frames = avitest::ReadAll(path);
  return r;
}

TEST(AviOutput, NewFileRatesAndFrames) {
  struct Case {
    double rate;
    double fps;  // what the file says
  } cases[] = {{25, 25}, {0, 15}, {29.97, 29.97}, {-3, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    auto e = Entry("new.avi", KZ_OPEN_OVERWRITE, c.rate, 40, 30);
    std::filesystem::remove(e->record.fileName);
    ASSERT_TRUE(OpenAviOutput(e.get()));
    EXPECT_EQ(e->avi.frames, 0);
    ASSERT_TRUE(WriteFrames(e.get(), 40, 30, 0, 4));
    EXPECT_TRUE(WriteFrames(e.get(), 20, 30, 9));  // another size is skipped, not written
    EXPECT_EQ(e->avi.frames, 4);
    EXPECT_NE(e->avi.firstTime, 0.0);
    EXPECT_GE(e->avi.lastTime, e->avi.firstTime);
    CloseAviOutput(e.get());
    EXPECT_EQ(e->avi.compressed.load(), nullptr);
    Read r = ReadBack(e->record.fileName);
    EXPECT_NEAR(double(r.info.dwRate) / r.info.dwScale, c.fps, 1e-9);
    ASSERT_EQ(r.frames.size(), 4u);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(r.frames[n], Frame(40, 30, n)) << n;  // "DIB "
  }
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

TEST(AviOutput, ExistingFileContinuesAtItsLength) {
  auto first = Entry("cont.avi", 0, 10, 32, 24);
  std::filesystem::remove(first->record.fileName);
  ASSERT_TRUE(OpenAviOutput(first.get()));
  ASSERT_TRUE(WriteFrames(first.get(), 32, 24, 0, 100));
  CloseAviOutput(first.get());

  // The record asks for another size and rate: the existing stream's own stay.
  auto next = Entry("cont.avi", KZ_OPEN_APPEND, 50, 64, 48);
  ASSERT_TRUE(OpenAviOutput(next.get()));
  EXPECT_EQ(next->avi.frames, 100);
  ASSERT_TRUE(WriteFrames(next.get(), 32, 24, 100));
  EXPECT_EQ(next->avi.frames, 101);
  EXPECT_EQ(next->avi.firstTime, 0.0);  // not the first frame of the file
  CloseAviOutput(next.get());
  Read r = ReadBack(next->record.fileName);
  ASSERT_EQ(r.frames.size(), 101u);
  EXPECT_EQ(r.frames[100], Frame(32, 24, 100));
  EXPECT_EQ(r.frames[99], Frame(32, 24, 99));
  EXPECT_EQ(double(r.info.dwRate) / r.info.dwScale, 10.0);
}

TEST(AviOutput, FailuresSetTheRecordStatus) {
  std::string notAvi = avitest::Path("notes.avi");
  std::ofstream(notAvi) << "not a video file";
  HGLOBAL unknown = AviOptionsHandle(mmioFOURCC('Z', 'Z', 'Z', 'Z'));
  struct Case {
    const char* what;
    std::string name;
    uint32_t flags;
    HGLOBAL options;
    uint32_t status;
  } cases[] = {
      {"append-only and no file", "missing.avi", KZ_OPEN_APPEND_ONLY, nullptr, KZ_ERR_APPEND},
      {"a file that is not an AVI", "notes.avi", KZ_OPEN_APPEND, nullptr, KZ_ERR_APPEND},
      {"no such folder", "nowhere/x.avi", 0, nullptr, KZ_ERR_CREATE},
      {"unknown compressor", "unknown.avi", 0, unknown, KZ_ERR_COMPRESSOR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = Entry(c.name, c.flags, 25, 32, 24, c.options);
    EXPECT_FALSE(OpenAviOutput(e.get()));
    EXPECT_EQ(e->rec.recordEndCode.load(), c.status);
    EXPECT_EQ(e->stopRequest.load() & kRecordBit, kRecordBit);
    EXPECT_EQ(e->avi.compressed.load(), nullptr);
    EXPECT_TRUE(WriteFrames(e.get(), 32, 24, 0));  // nothing open
    CloseAviOutput(e.get());
  }
  EXPECT_EQ(std::filesystem::file_size(notAvi), 16u);  // never replaced
  EXPECT_FALSE(std::filesystem::exists(avitest::Path("missing.avi")));
  GlobalFree(unknown);

  // A full disk: the write that fails ends the recording with 67.
  auto e = Entry("full.avi", 0, 25, 64, 48);
  struct rlimit old, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_TRUE(OpenAviOutput(e.get()));
  small = old;
  small.rlim_cur = 60000;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool failed = !WriteFrames(e.get(), 64, 48, 0, 20);
  CloseAviOutput(e.get());
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, handler);
  EXPECT_TRUE(failed);
  EXPECT_EQ(e->rec.recordEndCode.load(), uint32_t(KZ_ERR_AVI_WRITE));
  // The header promises no frames; the chunks that made it are whole and read back.
  Read r = ReadBack(e->record.fileName);
  EXPECT_LT(r.frames.size(), size_t(e->avi.frames) + 1);
  for (size_t n = 0; n < r.frames.size(); ++n) EXPECT_EQ(r.frames[n], Frame(64, 48, int(n))) << n;
  const std::vector<uint8_t> head = FileBytes(e->record.fileName);
  ASSERT_GE(head.size(), 52u);
  EXPECT_EQ(U32(head, 48), 0u);
  EXPECT_EQ(kzwinAviLiveObjects(), 0);
}

TEST(AviOutput, StoredOptionsChooseTheCompressor) {
  AVICOMPRESSOPTIONS o{};
  o.fccHandler = mmioFOURCC('F', 'F', 'V', '1');
  std::vector<uint8_t> block(AviOptionsBlockSize(o));
  EncodeAviOptions(o, block.data());
  ASSERT_TRUE(StoreAviOptions(block.data(), uint32_t(block.size())));
  auto e = Entry("stored.avi", 0, 25, 32, 24);
  ASSERT_TRUE(OpenAviOutput(e.get()));
  auto f = Frame(32, 24, 3);
  ASSERT_TRUE(WriteAviFrame(e.get(), f.data(), uint32_t(f.size()), 32, 24));
  CloseAviOutput(e.get());
  Read r = ReadBack(e->record.fileName);
  EXPECT_EQ(r.info.fccHandler, mmioFOURCC('F', 'F', 'V', '1'));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], f);  // lossless

  // Stored options naming a compressor this system lacks count as none: uncompressed.
  o.fccHandler = mmioFOURCC('Z', 'Z', 'Z', 'Z');
  EncodeAviOptions(o, block.data());
  ASSERT_TRUE(StoreAviOptions(block.data(), uint32_t(block.size())));
  auto u = Entry("stored2.avi", 0, 25, 32, 24);
  ASSERT_TRUE(OpenAviOutput(u.get()));
  CloseAviOutput(u.get());
  EXPECT_EQ(ReadBack(u->record.fileName).info.fccHandler, mmioFOURCC('D', 'I', 'B', ' '));
}

TEST(AviOutput, HeaderCorrection) {
  auto e = Entry("fix.avi", 0, 25, 32, 24, nullptr);
  HGLOBAL mjpg = AviOptionsHandle(mmioFOURCC('M', 'J', 'P', 'G'));
  e->record.aviOptions = mjpg;
  ASSERT_TRUE(OpenAviOutput(e.get()));
  ASSERT_TRUE(WriteFrames(e.get(), 32, 24, 0, 11));
  CloseAviOutput(e.get());
  GlobalFree(mjpg);
  const char* path = e->record.fileName;
  // 11 frames over one second: 10 frames a second.
  EXPECT_EQ(CorrectAviHeader(path, 11, 2450000.0, 2450000.0 + 1.0 / 86400), kAviHeaderPatched);
  const std::vector<uint8_t> b = FileBytes(path);
  EXPECT_EQ(U32(b, 32), 100000u);
  EXPECT_EQ(U32(b, 36), uint32_t(10000 * 0.001 * U32(b, 60)));
  EXPECT_EQ(U32(b, 128), 1000u);
  EXPECT_EQ(U32(b, 132), 10000u);
  Read r = ReadBack(path);
  EXPECT_EQ(double(r.info.dwRate) / r.info.dwScale, 10.0);
  EXPECT_EQ(r.frames.size(), 11u);

  struct Case {
    const char* name;
    int32_t frames;
    double first, last;
    AviHeaderResult result;
  } cases[] = {
      {"one frame", 1, 1.0, 2.0, kAviHeaderNotNeeded},
      {"no first time", 5, 0.0, 2.0, kAviHeaderNotNeeded},
      {"no last time", 5, 1.0, 0.0, kAviHeaderNotNeeded},
      {"no span: 15 frames a second", 5, 3.0, 3.0, kAviHeaderPatched},
      {"backwards: the smallest rate", 5, 3.0, 2.0, kAviHeaderPatched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CorrectAviHeader(path, c.frames, c.first, c.last), c.result);
  }
  EXPECT_EQ(CorrectAviHeader(avitest::Path("none.avi").c_str(), 5, 1, 2), kAviHeaderIoError);
  // Any chunk out of place: the file stays as it is.
  std::string other = avitest::Path("other.avi");
  std::vector<uint8_t> junk(b);
  std::memcpy(&junk[164], "JUNK", 4);
  avitest::WriteBytes(other, junk);
  EXPECT_EQ(CorrectAviHeader(other.c_str(), 5, 1.0, 1.5), kAviHeaderLayoutDiffers);
  EXPECT_EQ(FileBytes(other), junk);
}

// The show step and the record thread write to one output at the same time: every frame
// arrives whole, none is lost.
TEST(AviOutput, TwoWritersShareOneOutput) {
  auto e = Entry("two.avi", 0, 25, 24, 16);
  ASSERT_TRUE(OpenAviOutput(e.get()));
  auto writer = [&](int base) { WriteFrames(e.get(), 24, 16, base, 25); };
  std::thread a(writer, 0), b(writer, 100);
  a.join();
  b.join();
  EXPECT_EQ(e->avi.frames, 50);
  CloseAviOutput(e.get());
  Read r = ReadBack(e->record.fileName);
  ASSERT_EQ(r.frames.size(), 50u);
  std::set<int> seen;
  for (const auto& f : r.frames) {
    int found = -1;
    for (int n = 0; n < 125 && found < 0; ++n) {
      if (f == Frame(24, 16, n)) found = n;
    }
    EXPECT_GE(found, 0);
    seen.insert(found);
  }
  EXPECT_EQ(seen.size(), 50u);
}

}  // namespace
}  // namespace kz
