// KZSaveVideo into the library's own kinds: ranges, clocks, ends, stops, bad input.
#include <thread>

#include "frame/stream.h"
#include "save_video_fixture.h"

namespace kz::exptest {
namespace {

TEST_F(ExportTest, RangesAndClocksGiveExactlyTheChosenFrames) {
  struct Case {
    uint32_t kind;
    std::vector<int32_t> ranges;
    double speed;
    double fixedRate;  // with the fixed-rate bit when not 0
    std::vector<int32_t> positions;
    uint64_t step;  // output milliseconds per frame
  };
  const Case cases[] = {
      {KZ_KIND_RAW, {}, 0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 40},
      {KZ_KIND_LOSSLESS, {3, 5, 8, -1}, 1, 0, {3, 4, 5, 8}, 40},
      {KZ_KIND_LOSSY, {5, 3, -1}, 1, 0, {5, 4, 3}, 40},
      {KZ_KIND_LOSSLESS, {}, -2, 0, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 80},
      {KZ_KIND_RAW, {8, 20}, 1, 0, {8, 9}, 40},
      {KZ_KIND_RAW, {2, 4, 4, 2}, 1, 50, {2, 3, 4, 4, 3, 2}, 20},
      {KZ_KIND_LOSSLESS, {12, 30, 1, 1, 40, 3, -1}, 0.5, 0, {1, 9, 8, 7, 6, 5, 4, 3}, 20},
      {KZ_KIND_RAW, {0, 1}, 1, -5, {0, 1}, 40},  // no usable fixed rate: the source's clock
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    const std::string out = "out" + std::to_string(n++) + ".kzv";
    calls.Reset();
    KZEXPORT j = Job(out, c.kind, c.ranges);
    j.speed = c.speed;
    j.fixedRate = c.fixedRate;
    if (c.fixedRate != 0) j.exportFlags |= KZ_EXPORT_FIXED_RATE;
    ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE) << KZGetLastError();
    const std::vector<Frame> got = ReadOutput(out, c.kind);
    ASSERT_EQ(got.size(), c.positions.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].position, c.positions[i]) << i;
      EXPECT_EQ(got[i].ms, i * c.step) << i;
    }
    EXPECT_EQ(calls.ends.load(), 1u);
    EXPECT_EQ(calls.endCode.load(), 0u);
    EXPECT_EQ(calls.total.load(), c.positions.size());
    EXPECT_EQ(calls.lastDone.load(), c.positions.size());
  }
}

TEST_F(ExportTest, ContinuedOutputFollowsItsLastFrame) {
  KZEXPORT j = Job("out.kzv", KZ_KIND_LOSSLESS, {0, 2});
  ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE);
  j = Job("out.kzv", KZ_KIND_LOSSLESS | KZ_OPEN_APPEND, {7, 6});
  ASSERT_EQ(KZSaveVideo(&j), KZ_EXPORT_DONE);
  const std::vector<Frame> got = ReadOutput("out.kzv", KZ_KIND_LOSSLESS);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[3].position, 7);
  EXPECT_EQ(got[3].ms, 80u + 100u);  // last count + 100
  EXPECT_EQ(got[4].ms, 220u);
}

TEST_F(ExportTest, EndsByCancelStopAndFullDisk) {
  struct Case {
    const char* what;
    uint32_t cancelAt, holdAt;
    int64_t writeBudget;
    uint32_t result, error, endCode;
    size_t frames;  // whole records in the output
  };
  const uint32_t frameRecord = 40 + 1536 + 8;
  const Case cases[] = {
      {"cancel", 3, ~0u, -1, 0, KZ_ERR_CANCELLED, KZ_ERR_CANCELLED, 3},
      {"stop", ~0u, 3, -1, KZ_EXPORT_DONE, 0, 0, 3},
      {"disk full", ~0u, ~0u, 4 * frameRecord + 500, 0, KZ_ERR_WRITE, KZ_ERR_WRITE, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls.Reset();
    calls.cancelAt = c.cancelAt;
    calls.holdAt = c.holdAt;
    const std::string out = std::string(c.what) + ".kzv";
    KZEXPORT j = Job(out, KZ_KIND_RAW);
    const std::vector<uint8_t> source = rectest::ReadAll(Path("src.kzv"));
    uint32_t result = 0, error = 0;
    std::thread caller([&] {
      if (c.writeBudget >= 0) kzwinFailWritesAfter(c.writeBudget);
      result = KZSaveVideo(&j);
      error = KZGetLastError();
    });
    if (c.holdAt != ~0u) {
      // The stop is asked while the third frame's progress call waits, so exactly three
      // frames are written whatever the timing.
      ASSERT_TRUE(rectest::WaitUntil([] { return calls.held.load() != 0; }));
      StreamRecord* e = FindStream(KZ_EXPORT_ID_BASE, kSaveBit);
      ASSERT_NE(e, nullptr);
      std::thread stopper([&] { EXPECT_EQ(KZStopAll(session_, KZ_EXPORT_ID_BASE, nullptr), 1); });
      ASSERT_TRUE(rectest::WaitUntil([&] { return (e->stopRequest.load() & kSaveBit) != 0; }));
      calls.release = 1;
      stopper.join();
    }
    caller.join();
    kzwinFailWritesAfter(-1);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(calls.ends.load(), 1u);
    EXPECT_EQ(calls.endCode.load(), c.endCode);
    const std::vector<Frame> got = ReadOutput(out, KZ_KIND_RAW);
    ASSERT_EQ(got.size(), c.frames);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].position, int32_t(i));
    EXPECT_EQ(rectest::ReadAll(Path("src.kzv")), source);
  }
}

TEST_F(ExportTest, TwoExportsAtOnceEachWithItsOwnEntry) {
  KZEXPORT a = Job("a.kzv", KZ_KIND_LOSSLESS, {9, 0});
  KZEXPORT b = Job("b.kzv", KZ_KIND_RAW, {0, 9});
  a.exportFlags = b.exportFlags = 0;
  const uint32_t ida = KZSaveVideo(&a);
  const uint32_t idb = KZSaveVideo(&b);
  EXPECT_GE(ida, KZ_EXPORT_ID_BASE);
  EXPECT_GE(idb, KZ_EXPORT_ID_BASE);
  EXPECT_NE(ida, idb);
  ASSERT_TRUE(rectest::WaitUntil([] { return calls.ends.load() == 2; }));
  ASSERT_TRUE(rectest::WaitUntil([] { return rectest::EntriesInUse() == 0; }));
  const std::vector<Frame> ga = ReadOutput("a.kzv", KZ_KIND_LOSSLESS);
  const std::vector<Frame> gb = ReadOutput("b.kzv", KZ_KIND_RAW);
  ASSERT_EQ(ga.size(), 10u);
  ASSERT_EQ(gb.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(ga[i].position, 9 - i);
    EXPECT_EQ(gb[i].position, i);
  }
}

TEST_F(ExportTest, BadInputIsRefusedAndTouchesNothing) {
  kztest::WriteRecording(Path("seq.kzv"), spec_, 0, 3);
  kztest::WriteRecording(Path("seq2.kzv"), spec_, 3, 3);
  kztest::WriteRecording(Path("exists.kzv"), spec_, 0, 1);
  std::filesystem::create_hard_link(Path("src.kzv"), Path("link.kzv"));
  struct Case {
    const char* what;
    void (*edit)(KZEXPORT&);
    const char *source, *output;  // in the folder; null: as the job has it
    uint32_t flags;               // added to the job's
    uint32_t error;
    const char* untouched = nullptr;  // a file whose bytes must stay
  };
  const uint32_t over = KZ_OPEN_OVERWRITE;
  const Case cases[] = {
      {"size", [](KZEXPORT& j) { j.size = 600; }, nullptr, nullptr, 0, KZ_ERR_RECORD_SIZE},
      {"session", [](KZEXPORT& j) { j.session = 0; }, nullptr, nullptr, 0, KZ_ERR_SESSION},
      {"closed session", [](KZEXPORT& j) { j.session += 7; }, nullptr, nullptr, 0, KZ_ERR_SESSION},
      {"no source", [](KZEXPORT& j) { j.sourceName[0] = 0; }, nullptr, nullptr, 0,
       KZ_ERR_NO_FILE_NAME},
      {"no output", [](KZEXPORT& j) { j.fileName[0] = 0; }, nullptr, nullptr, 0,
       KZ_ERR_NO_FILE_NAME},
      {"kind", [](KZEXPORT& j) { j.fileFlags = KZ_KIND_ONE_FRAME; }, nullptr, nullptr, 0,
       KZ_ERR_KIND},
      {"missing input", nullptr, "none.kzv", nullptr, 0, KZ_ERR_FILE_OPEN},
      {"missing folder", nullptr, nullptr, "no/out.kzv", 0, KZ_ERR_CREATE},
      {"exists", nullptr, nullptr, "exists.kzv", 0, KZ_ERR_FILE_EXISTS, "exists.kzv"},
      {"same name", nullptr, nullptr, "./src.kzv", over, KZ_ERR_SAME_FILE, "src.kzv"},
      {"same file by link", nullptr, nullptr, "link.kzv", over, KZ_ERR_SAME_FILE, "src.kzv"},
      {"later file of the sequence", nullptr, "seq.kzv", "seq2.kzv", over, KZ_ERR_SAME_FILE,
       "seq2.kzv"},
      {"no frame in range",
       [](KZEXPORT& j) {
         j.ranges = GlobalAlloc(GMEM_MOVEABLE, 8);
         auto* v = static_cast<int32_t*>(GlobalLock(j.ranges));
         v[0] = 10;
         v[1] = 12;  // no terminator: the block's size ends the list
         GlobalUnlock(j.ranges);
       },
       nullptr, nullptr, 0, KZ_ERR_NO_FRAMES},
  };
  EXPECT_EQ(KZSaveVideo(nullptr), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NULL});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZEXPORT j = Job("out.kzv", KZ_KIND_LOSSLESS);
    if (c.edit) c.edit(j);
    if (c.source) std::snprintf(j.sourceName, sizeof j.sourceName, "%s", Path(c.source).c_str());
    if (c.output) std::snprintf(j.fileName, sizeof j.fileName, "%s", Path(c.output).c_str());
    j.fileFlags |= c.flags;
    if (j.ranges) handles_.push_back(HGLOBAL{j.ranges});
    const std::vector<uint8_t> before =
        c.untouched ? rectest::ReadAll(Path(c.untouched)) : std::vector<uint8_t>{};
    EXPECT_EQ(KZSaveVideo(&j), 0u);
    EXPECT_EQ(KZGetLastError(), c.error);
    EXPECT_FALSE(std::filesystem::exists(Path("out.kzv")));
    if (c.untouched) {
      EXPECT_EQ(rectest::ReadAll(Path(c.untouched)), before);
    }
    EXPECT_EQ(calls.ends.load(), 0u);
  }

  // With every entry taken, an overwrite is refused before the existing output is cut.
  std::vector<StreamRecord*> taken;
  {
    std::lock_guard lock(StreamTableMutex());
    while (StreamRecord* e = TakeEntry(nullptr)) {
      e->streamId.store(KZ_EXPORT_ID_BASE + static_cast<uint32_t>(taken.size()));
      taken.push_back(e);
    }
  }
  const std::vector<uint8_t> before = rectest::ReadAll(Path("exists.kzv"));
  KZEXPORT j = Job("exists.kzv", KZ_KIND_LOSSLESS | KZ_OPEN_OVERWRITE);
  EXPECT_EQ(KZSaveVideo(&j), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NO_STREAM_SLOT});
  EXPECT_EQ(rectest::ReadAll(Path("exists.kzv")), before);
  for (StreamRecord* e : taken) ReleaseEntry(e);
}

}  // namespace
}  // namespace kz::exptest
