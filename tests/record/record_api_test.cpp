// The record API's checks, endings with their codes (full disk, write error, existing
// continuation file, duration) and changes while recording.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_call.h"
#include "recording_fixture.h"
#include "time/julian.h"

namespace kz::rectest {
namespace {

constexpr uint64_t kFirstRecord = 48 + 376 + 38400;  // 160 x 120 YUY2 with the chunk part
constexpr uint64_t kRecord = 48 + 38400;

class RecordApiTest : public RecordTest {
 protected:
  void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  // Starts a recording and pumps until it ends by itself; returns the end code.
  uint32_t RecordUntilEnd(KZRECORD block) {
    EXPECT_TRUE(StartCounted(block)) << KZGetLastError();
    EXPECT_TRUE(PumpUntil([] { return seen.ends.load() == 1; }));
    return seen.endCode.load();
  }
};

TEST_F(RecordApiTest, BadStartsFailWithTheirCodeAndLeaveNothing) {
  const std::string raw = Path("raw.kzv");
  const std::string exists = Path("exists.kzv");
  const std::string damaged = Path("damaged.kzv");
  {
    // A whole raw recording to append to, and one whose tail is not a trailer.
    ASSERT_TRUE(StartCounted(Block(raw, KZ_KIND_RAW)));
    ASSERT_TRUE(PumpUntil([&] { return std::filesystem::file_size(raw) >= kFirstRecord; }));
    ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1);
    std::vector<uint8_t> bytes = ReadAll(raw);
    WriteBytes(exists, bytes);
    bytes.push_back(0);
    WriteBytes(damaged, bytes);
  }
  const std::vector<uint8_t> rawBefore = ReadAll(raw);
  const std::vector<uint8_t> existsBefore = ReadAll(exists);
  struct Case {
    const char* what;
    KZRECORD block;
    bool nullBlock;
    uint32_t error;
  };
  auto with = [&](std::string file, uint32_t flags, auto change) {
    KZRECORD b = Block(file, flags & KZ_KIND_MASK, flags & KZ_OPEN_MASK);
    change(b);
    return b;
  };
  auto none = [](KZRECORD&) {};
  const std::string fresh = Path("fresh.kzv");
  const Case cases[] = {
      {"null", {}, true, KZ_ERR_NULL},
      {"size 367", with(fresh, 1, [](KZRECORD& b) { b.size = 367; }), false, KZ_ERR_RECORD_SIZE},
      {"session", with(fresh, 1, [](KZRECORD& b) { b.session += 1000; }), false, KZ_ERR_SESSION},
      {"source 0", with(fresh, 1, [](KZRECORD& b) { b.source = 0; }), false, KZ_ERR_SOURCE},
      {"source 11", with(fresh, 1, [](KZRECORD& b) { b.source = 11; }), false, KZ_ERR_SOURCE},
      {"kind 4", with(fresh, 4, none), false, KZ_ERR_KIND},
      {"kind 0", with(fresh, 0, none), false, KZ_ERR_KIND},
      {"new on existing", with(exists, KZ_KIND_RAW | KZ_OPEN_NEW, none), false, KZ_ERR_FILE_EXISTS},
      {"append-only missing", with(fresh, KZ_KIND_RAW | KZ_OPEN_APPEND_ONLY, none), false,
       KZ_ERR_CONTINUE_OPEN},
      {"KZVc onto KZVr", with(raw, KZ_KIND_LOSSLESS | KZ_OPEN_APPEND, none), false,
       KZ_ERR_CONTINUE_KIND},
      {"damaged tail", with(damaged, KZ_KIND_RAW | KZ_OPEN_APPEND, none), false, KZ_ERR_APPEND},
      {"no such folder", with(Path("none/x.kzv"), KZ_KIND_RAW, none), false, KZ_ERR_CREATE},
      {"empty name", with("", KZ_KIND_RAW, none), false, KZ_ERR_CREATE},
      {"unterminated name",
       with(fresh, KZ_KIND_RAW, [](KZRECORD& b) { std::memset(b.fileName, 'a', 256); }), false,
       KZ_ERR_CREATE},
      // A start refused after the file checks leaves an existing file whole.
      {"no window",
       with(exists, KZ_KIND_RAW | KZ_OPEN_OVERWRITE, [](KZRECORD& b) { b.window = nullptr; }), false,
       KZ_ERR_WINDOW},
      {"format refused",
       with(exists, KZ_KIND_AVI | KZ_OPEN_OVERWRITE, [](KZRECORD& b) { b.width = 161; }), false,
       KZ_ERR_FORMAT_REFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZRECORD b = c.block;
    EXPECT_CALL_ERR(KZStartRecord(c.nullBlock ? nullptr : &b), 0, c.error);
    EXPECT_EQ(EntriesInUse(), 0);
  }
  EXPECT_EQ(ReadAll(raw), rawBefore);
  EXPECT_EQ(ReadAll(exists), existsBefore);
  EXPECT_FALSE(std::filesystem::exists(fresh));

  // A second start on a recording source: 32 in the same session, 8 from another.
  KZRECORD b = Block(Path("one.kzv"), KZ_KIND_RAW);
  ASSERT_EQ(KZStartRecord(&b), 1);
  KZRECORD again = Block(Path("two.kzv"), KZ_KIND_RAW);
  EXPECT_CALL_ERR(KZStartRecord(&again), 0, KZ_ERR_ALREADY_RECORDING);
  const uint32_t other = KZBegin(nullptr);
  again.session = other;
  EXPECT_CALL_ERR(KZStartRecord(&again), 0, KZ_ERR_SOURCE_IN_USE);
  EXPECT_CALL_ERR(KZStopRecord(other, 1, nullptr), 0, KZ_ERR_OTHER_SESSION);
  EXPECT_EQ(KZStopRecord(session_, 1, nullptr), 1);
  KZEnd(other);
  EXPECT_FALSE(std::filesystem::exists(Path("two.kzv")));
}

TEST_F(RecordApiTest, FailingWritesEndWithCode42AndLeaveWholeRecords) {
  struct Case {
    const char* what;
    int64_t allowed;
    size_t records;
  };
  const Case cases[] = {
      {"nothing writes", 0, 0},
      {"full inside the first record", 1000, 0},
      {"full inside the fourth record", kFirstRecord + 2 * kRecord + 5000, 3},
      {"full at a trailer", kFirstRecord + kRecord - 3, 1},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = Path("full" + std::to_string(index++) + ".kzv");
    kzwinFailWritesAfter(c.allowed);
    EXPECT_EQ(RecordUntilEnd(Block(file, KZ_KIND_RAW)), static_cast<uint32_t>(KZ_ERR_WRITE));
    kzwinFailWritesAfter(-1);
    EXPECT_EQ(Walk(file).size(), c.records);
    EXPECT_EQ(std::filesystem::file_size(file),
              c.records == 0 ? 0 : kFirstRecord + (c.records - 1) * kRecord);
    // The recording is over; its stream is released by the next start on the source (the
    // next round) or the next stop call.
    KZRATE rate{};
    EXPECT_TRUE(PumpUntil([&] { return KZGetRecordRate(session_, 1, nullptr, &rate) == 0; }));
    EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(KZ_ERR_NO_RECORD));
    EXPECT_EQ(EntriesInUse(), 1);
  }
  EXPECT_EQ(KZStopAll(0, 0, nullptr), 1);
  EXPECT_EQ(EntriesInUse(), 0);
}

TEST_F(RecordApiTest, ContinuationFileThatExistsEndsWith33UnlessOverwriting) {
  const std::string first = Path("limit.kzv");
  WriteBytes(Path("limit2.kzv"), {1, 2, 3});
  KZRECORD block = Block(first, KZ_KIND_RAW);
  block.maxFileMB = 1;
  EXPECT_EQ(RecordUntilEnd(block), static_cast<uint32_t>(KZ_ERR_FILE_EXISTS));
  EXPECT_EQ(Walk(first, false).size(), 27u);
  EXPECT_EQ(ReadAll(Path("limit2.kzv")), (std::vector<uint8_t>{1, 2, 3}));
  KZStopAll(0, 0, nullptr);

  block.fileFlags = KZ_KIND_RAW | KZ_OPEN_OVERWRITE;
  ASSERT_TRUE(StartCounted(block));
  ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= 30; }));
  KZRECORD now{};
  now.size = sizeof now;
  ASSERT_EQ(KZGetRecord(session_, 1, nullptr, &now), 1);
  EXPECT_EQ(std::string(now.fileName), Path("limit2.kzv"));  // the file being written
  ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1);
  const std::vector<Record> second = Walk(Path("limit2.kzv"));
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second[0].header.frameNumber, 27u);
}

TEST_F(RecordApiTest, DurationEndsTheRecordingWithCodeZeroAndReleasesTheGrab) {
  KZRECORD block = Block(Path("short.kzv"), KZ_KIND_RAW);
  block.duration = 1e-10;  // under a millisecond: the shortest limit, not "no limit"
  EXPECT_EQ(RecordUntilEnd(block), 0u);
  EXPECT_TRUE(PumpUntil([] {
    StreamRecord* e = SourceEntry(1);
    return e && e->running.load() == 0;
  }));
  EXPECT_LE(Walk(Path("short.kzv")).size(), 2u);

  // A stop time in the past ends it at its first frame.
  KZStopAll(0, 0, nullptr);
  block = Block(Path("past.kzv"), KZ_KIND_RAW);
  block.stopTime = CurrentJulian() - 1.0;
  EXPECT_EQ(RecordUntilEnd(block), 0u);
  EXPECT_EQ(std::filesystem::file_size(Path("past.kzv")), 0u);
}

TEST_F(RecordApiTest, ChangeGetAndRateGoThroughTheRecordThread) {
  KZRECORD block = Block(Path("change.kzv"), KZ_KIND_LOSSLESS);
  block.reserved = 77;
  KZRECORD bad = block;
  EXPECT_CALL_ERR(KZChangeRecord(&bad), 0, KZ_ERR_NO_RECORD);
  KZRATE rate{};
  EXPECT_CALL_ERR(KZGetRecordRate(session_, 1, nullptr, &rate), 0, KZ_ERR_NO_RECORD);

  ResetSeen();
  block.frameFilter = CountingFilter;
  ASSERT_EQ(KZStartRecord(&block), 1);
  ASSERT_TRUE(PumpUntil([] { return seen.filtered.load() >= 3; }));
  KZRECORD got{};
  got.size = sizeof got;
  ASSERT_EQ(KZGetRecord(session_, 1, nullptr, &got), 1);
  EXPECT_EQ(got.keyInterval, 30);  // defaults written back by the writer
  EXPECT_EQ(got.reserved, 77u);
  EXPECT_EQ(std::string(got.fileName), Path("change.kzv"));
  got.size = 367;
  EXPECT_CALL_ERR(KZGetRecord(session_, 1, nullptr, &got), 0, KZ_ERR_RECORD_SIZE);
  EXPECT_CALL_ERR(KZGetRecord(session_, 1, nullptr, nullptr), 0, KZ_ERR_NULL);
  EXPECT_CALL_ERR(KZGetRecord(session_, 1, reinterpret_cast<HWND>(1), &got), 0,
                  KZ_ERR_OTHER_WINDOW);

  // A start time in the future pauses the recording; KZGetRecord shows the change at once.
  KZRECORD change = block;
  change.startTime = CurrentJulian() + 1.0;
  change.keyInterval = 5;  // coding parameters are not changed
  std::strcpy(change.fileName, "ignored");
  ASSERT_EQ(KZChangeRecord(&change), 1);
  got.size = sizeof got;
  ASSERT_EQ(KZGetRecord(session_, 1, nullptr, &got), 1);
  EXPECT_EQ(got.startTime, change.startTime);
  EXPECT_EQ(got.keyInterval, 30);
  EXPECT_EQ(std::string(got.fileName), Path("change.kzv"));
  ASSERT_TRUE(PumpUntil(
      [&] { return KZGetRecordRate(session_, 1, nullptr, &rate) == 1 && rate.startTime == 0.0; }));
  // Back to now: it goes on in the same file, its time stamps still increasing.
  change.startTime = 0.0;
  ASSERT_EQ(KZChangeRecord(&change), 1);
  const uint32_t before = seen.filtered.load();
  ASSERT_TRUE(PumpUntil([&] { return seen.filtered.load() >= before + 3; }));
  ASSERT_EQ(KZStopRecord(session_, 1, nullptr), 1);
  const std::vector<Record> records = Walk(Path("change.kzv"));
  ASSERT_EQ(records.size(), seen.filtered.load());
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_GT(records[i].cameraNumber, records[i - 1].cameraNumber);
    EXPECT_GE(records[i].header.msLow, records[i - 1].header.msLow);
    EXPECT_GE(records[i].header.julian, records[i - 1].header.julian);
  }
}

}  // namespace
}  // namespace kz::rectest
