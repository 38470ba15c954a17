// File kinds, summaries and numbered sequences of recordings.
#include <cstring>
#include <string>
#include <tuple>

#include "expect_call.h"
#include "playback/file_info.h"
#include "recording_maker.h"

namespace {

using kztest::RecordingSpec;

// Changes the byte `fromEnd` bytes before the end (a no-op on a shorter vector).
void PokeFromEnd(std::vector<uint8_t>& v, size_t fromEnd, uint8_t b) {
  if (v.size() >= fromEnd) v[v.size() - fromEnd] = b;
}

using FileInfo = kztest::PlaybackTest;

KZFILEINFO Blank() {
  KZFILEINFO info{};
  info.size = sizeof info;
  return info;
}

TEST_F(FileInfo, SummariesOfSingleFilesOfEveryKind) {
  struct Case {
    uint32_t kind, frames, format, fileFormat;
  };
  const Case cases[] = {{1, 5, KZ_FORMAT_RGB24, 1},
                        {1, 1, KZ_FORMAT_YUY2, 4},
                        {2, 9, KZ_FORMAT_RGB24, 2},
                        {3, 9, KZ_FORMAT_I420, 3},
                        {2, 1, KZ_FORMAT_Y800, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind * 100 + c.frames);
    RecordingSpec s;
    s.kind = c.kind;
    s.format = c.format;
    s.firstFrame = 7;
    const std::string path = Path("one.kzv");
    const auto bytes = kztest::RecordingBytes(s, 0, c.frames);
    kztest::WriteFile(path, bytes);
    EXPECT_EQ(KZGetFileFormat(path.c_str()), c.fileFormat);
    KZFILEINFO info = Blank();
    ASSERT_EQ(KZGetFileInfo(path.c_str(), &info, 0), 1) << KZGetLastError();
    EXPECT_STREQ(info.path, path.c_str());
    EXPECT_EQ(std::tuple(info.kind, info.width, info.height, info.format, info.frameCount),
              std::tuple(c.kind, 32, 16, c.format, static_cast<int32_t>(c.frames)));
    EXPECT_EQ(
        std::tuple(info.firstFrame, info.lastFrame, info.lastMsLow, size_t{info.byteCountLow}),
        std::tuple(7u, 7 + c.frames - 1, 40 * (c.frames - 1), bytes.size()));
    // One file, and the quick summary was good enough.
    EXPECT_EQ(std::tuple(info.sequenceFirst, info.sequenceCount, info.flags),
              std::tuple(-1, 1, 15u));
  }
}

TEST_F(FileInfo, DamagedFilesKeepWhatIsWholeAndForeignFilesFail) {
  RecordingSpec s;
  const auto whole = kztest::RecordingBytes(s, 0, 5);
  const size_t last = kztest::RecordingBytes(s, 4, 1).size() - 376;  // a record without chunks
  auto cut = whole;
  cut.resize(whole.size() - 10);
  auto noEnd = whole;
  PokeFromEnd(noEnd, 4, 'X');
  auto badBack = whole;
  PokeFromEnd(badBack, 8, 0xFF);  // back-offset far beyond the file
  auto tail = whole;
  tail.insert(tail.end(), {'E', 'N', 'D', 0});  // four stray bytes after the last record
  auto pastEnd = kztest::RecordingBytes(s, 0, 1);
  pastEnd.resize(200);  // the first record's sizes reach past the end
  auto badFormat = kztest::RecordingBytes(s, 0, 2);
  badFormat[16] = 99;  // pixel-format code outside 1 to 14
  auto badSize = kztest::RecordingBytes(s, 0, 2);
  badSize[8] ^= 1;  // raw data size that is not the frame size
  const std::string text = "this is not a video file at all";
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int32_t frames;  // 0: the file is refused with `error`
    int error;
  };
  const Case cases[] = {{"cut mid-record", cut, 4, 0},
                        {"missing END", noEnd, 4, 0},
                        {"bad back-offset", badBack, 4, 0},
                        {"stray tail", tail, 5, 0},
                        {"text", {text.begin(), text.end()}, 0, KZ_ERR_FILE_KIND},
                        {"empty", {}, 0, KZ_ERR_FILE_READ},
                        {"short", {'K', 'Z', 'V'}, 0, KZ_ERR_FILE_READ},
                        {"past end", pastEnd, 0, KZ_ERR_FILE_KIND},
                        {"bad format", badFormat, 0, KZ_ERR_FILE_KIND},
                        {"bad size", badSize, 0, KZ_ERR_FILE_KIND}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path("damaged.kzv");
    kztest::WriteFile(path, c.bytes);
    KZFILEINFO info = Blank();
    if (c.error) {
      EXPECT_CALL_ERR(KZGetFileFormat(path.c_str()), 0u, c.error);
      EXPECT_CALL_ERR(KZGetFileInfo(path.c_str(), &info, 0), 0, c.error);
      continue;
    }
    ASSERT_EQ(KZGetFileInfo(path.c_str(), &info, 0), 1);
    EXPECT_EQ(std::tuple(info.frameCount, info.lastFrame, info.flags & KZ_INFO_FULL_SCAN,
                         size_t{info.byteCountLow}),
              std::tuple(c.frames, static_cast<uint32_t>(c.frames - 1), uint32_t{KZ_INFO_FULL_SCAN},
                         whole.size() - (5 - c.frames) * last));
  }
  KZFILEINFO info = Blank();
  const std::string missing = Path("missing.kzv");
  EXPECT_CALL_ERR(KZGetFileInfo(missing.c_str(), &info, 0), 0, KZ_ERR_FILE_OPEN);
  info.size = 395;
  EXPECT_CALL_ERR(KZGetFileInfo(missing.c_str(), &info, 0), 0, KZ_ERR_RECORD_SIZE);
  EXPECT_CALL_ERR(KZGetFileInfo("x", nullptr, 0), 0, KZ_ERR_NULL);
}

TEST_F(FileInfo, NumberedSequences) {
  RecordingSpec s;
  s.kind = 2;
  struct Case {
    const char* what;
    std::vector<std::string> files;  // written in order, 4 frames each
    const char *asked, *first;
    int32_t sequenceFirst, sequenceCount, frames;
    void (*later)(RecordingSpec&) = nullptr;  // how files after the first differ
  };
  const Case cases[] = {
      {"unnumbered first",
       {"scene.kzv", "scene2.kzv", "scene3.kzv"},
       "scene2.kzv",
       "scene.kzv",
       -1,
       3,
       12},
      {"numbered from one", {"clip1.kzv", "clip2.kzv"}, "clip2.kzv", "clip1.kzv", 1, 2, 8},
      {"lone number", {"shot2000.kzv"}, "shot2000.kzv", "shot2000.kzv", 2000, 2000, 4},
      {"leading zeros", {"take007.kzv", "take008.kzv"}, "take008.kzv", "take007.kzv", 7, 8, 8},
      {"missing middle", {"gap.kzv", "gap3.kzv"}, "gap.kzv", "gap.kzv", -1, 1, 4},
      {"alone", {"solo.kzv"}, "solo.kzv", "solo.kzv", -1, 1, 4},
      {"another picture",
       {"mix.kzv", "mix2.kzv"},
       "mix.kzv",
       "mix.kzv",
       -1,
       1,
       4,
       [](RecordingSpec& r) { r.width = 48; }},
      {"another kind",
       {"kind.kzv", "kind2.kzv"},
       "kind.kzv",
       "kind.kzv",
       -1,
       1,
       4,
       [](RecordingSpec& r) { r.kind = 1; }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t from = 0;
    RecordingSpec file = s;
    for (const std::string& f : c.files) {
      kztest::WriteRecording(Path(f), file, from, 4);
      if (c.later) c.later(file);
      from += 4;
    }
    KZFILEINFO info = Blank();
    ASSERT_EQ(KZGetFileInfo(Path(c.asked).c_str(), &info, 0), 1);
    EXPECT_EQ(std::string(info.path), Path(c.first));
    EXPECT_EQ(std::tuple(info.sequenceFirst, info.sequenceCount, info.frameCount,
                         kz::SequenceFiles(info), info.lastFrame),
              std::tuple(c.sequenceFirst, c.sequenceCount, c.frames, c.frames / 4,
                         static_cast<uint32_t>(c.frames - 1)));
  }
}

TEST(SequenceNames, NumbersAndNames) {
  struct Case {
    const char* first;
    int32_t n;
    const char* name;
  } const cases[] = {
      {"/a/scene.kzv", 1, "/a/scene.kzv"},   {"/a/scene.kzv", 3, "/a/scene3.kzv"},
      {"/a/scene1.kzv", 2, "/a/scene2.kzv"}, {"/a/take007.kzv", 8, "/a/take008.kzv"},
      {"/a.b/noext", 2, "/a.b/noext2"},      {"/a/x99999999999.kzv", 2, "/a/x992.kzv"}};
  for (const Case& c : cases) {
    char out[300];
    kz::SequenceName(c.first, c.n, out, sizeof out);
    EXPECT_STREQ(out, c.name);
  }
  size_t digits = 0;  // a sign in front of the digits is not part of the number
  EXPECT_EQ(kz::TrailingNumber("a-5", 3, &digits), 5);
}

TEST_F(FileInfo, LongPathNameSpellsEveryComponent) {
  kztest::WriteRecording(Path("Long.kzv"), RecordingSpec{}, 0, 1);
  char out[300];
  const std::string relative = dir_ + "/./Long.kzv";
  ASSERT_EQ(kz::LongPathName(relative.c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::string(out), Path("Long.kzv"));
  char small[8] = "keep";
  EXPECT_EQ(kz::LongPathName(relative.c_str(), small, sizeof small), 0);
  EXPECT_STREQ(small, "keep");
}

}  // namespace
