#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/files.h"

namespace kz {
namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kzframe_" +
                     std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + name;
  std::remove(path.c_str());
  return path;
}

void WriteBytes(const std::string& path, int count) {
  File f = FileOpen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string bytes(count, '\0');
  for (int i = 0; i < count; ++i) bytes[i] = static_cast<char>(i);
  EXPECT_EQ(FileWrite(bytes.data(), 1, count, f), static_cast<size_t>(count));
  EXPECT_EQ(FileClose(f), 0);
}

TEST(Files, ModesCreateEmptyAndAppend) {
  const std::string path = TempPath("modes.bin");
  EXPECT_EQ(FileOpen(path.c_str(), "rb"), nullptr);  // missing
  EXPECT_EQ(FileOpen(path.c_str(), ""), nullptr);
  EXPECT_EQ(FileOpen(path.c_str(), "q"), nullptr);
  EXPECT_EQ(FileOpen(nullptr, "rb"), nullptr);

  File f = FileOpen(path.c_str(), "a+b");  // created when missing, at its end
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileTell(f), 0);
  FileClose(f);

  WriteBytes(path, 100);
  f = FileOpen(path.c_str(), "A+B");  // any case
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileTell(f), 100);
  FileClose(f);

  f = FileOpen(path.c_str(), "wb");  // emptied
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileLength(f), 0);
  FileClose(f);
  std::remove(path.c_str());
}

TEST(Files, WholeItemsSeekAndTell) {
  const std::string path = TempPath("items.bin");
  WriteBytes(path, 100);
  File f = FileOpen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  char buffer[200];
  EXPECT_EQ(FileRead(buffer, 40, 3, f), 2u);  // 100 bytes hold two whole items of 40
  EXPECT_EQ(FileTell(f), 100);
  EXPECT_EQ(FileSeek(f, -8, 2), 0);
  EXPECT_EQ(FileTell(f), 92);
  EXPECT_EQ(FileRead(buffer, 4, 1, f), 1u);
  EXPECT_EQ(buffer[0], 92);
  EXPECT_EQ(FileSeek(f, -10, 1), 0);
  EXPECT_EQ(FileTell(f), 86);
  EXPECT_EQ(FileSeek(f, -1, 0), 1);  // before the start
  EXPECT_EQ(FileSeek(f, 0, 7), 1);   // no such origin
  FileRewind(f);
  EXPECT_EQ(FileTell(f), 0);
  EXPECT_EQ(FileRead(buffer, 10, 1, f), 1u);
  EXPECT_EQ(buffer[9], 9);
  EXPECT_TRUE(FileTruncate(f, 50));
  EXPECT_EQ(FileLength(f), 50);
  EXPECT_EQ(FileClose(f), 0);

  // Positions beyond 32 bits travel through the high part.
  f = FileOpen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  const int64_t beyond4G = (int64_t{1} << 32) + 12;
  EXPECT_EQ(FileSeek(f, beyond4G, 0), 0);
  EXPECT_EQ(FileTell(f), beyond4G);
  FileClose(f);
  std::remove(path.c_str());

  // The null handle.
  EXPECT_EQ(FileClose(nullptr), 0);
  EXPECT_EQ(FileRead(buffer, 1, 1, nullptr), 0u);
  EXPECT_EQ(FileWrite(buffer, 1, 1, nullptr), 0u);
  EXPECT_EQ(FileSeek(nullptr, 0, 0), 1);
  EXPECT_EQ(FileTell(nullptr), 0);
  FileRewind(nullptr);
}

TEST(Files, NeighbourNames) {
  struct Case {
    const char* name;
    int direction;
    const char* expected;  // null: the call fails and the name stays
    size_t capacity;
  } cases[] = {
      {"C:\\rec\\take.avi", 1, "C:\\rec\\take2.avi", 256},
      {"C:\\rec\\take007", 1, "C:\\rec\\take8", 256},  // leading zeros are dropped
      {"C:\\rec\\take009.avi", 1, "C:\\rec\\take10.avi", 256},
      {"009.avi", 1, "010.avi", 256},  // the first digit stays in the stem
      {"C:\\my.dir\\take", 1, "C:\\my.dir\\take2", 256},
      {"/home/me/my.dir/take", 1, "/home/me/my.dir/take2", 256},
      {"C:\\rec\\take3.avi", -1, "C:\\rec\\take2.avi", 256},
      {"C:\\rec\\take1.avi", -1, "C:\\rec\\take.avi", 256},  // number 0 is not written
      {"C:\\rec\\take.avi", -1, "C:\\rec\\take.avi", 256},   // no digits: number 1
      {"take10", -5, "take9", 256},
      {"", 1, "A2", 256},
      {".avi", 1, "A2.avi", 256},
      {"C:\\rec\\", 1, "C:\\rec\\2", 256},
      {"noext", 0, "noext2", 256},
      {"take9.avi", 1, "take10.avi", 11},  // exactly fits
      {"take9.avi", 1, nullptr, 10},       // one byte short
      {"take.avi", 1, nullptr, 9},
      {"take2147483647", 1, nullptr, 256},  // the number would not print back
      {"take99999999999999999999", 1, nullptr, 256},
  };
  for (const Case& c : cases) {
    char buffer[300];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, c.name);
    const bool ok = NeighbourName(buffer, c.capacity, c.direction);
    EXPECT_EQ(ok, c.expected != nullptr) << c.name;
    EXPECT_STREQ(buffer, c.expected ? c.expected : c.name) << c.name;
    // Nothing written past the capacity.
    for (size_t i = std::max(c.capacity, std::strlen(c.name) + 1); i < sizeof buffer; ++i) {
      ASSERT_EQ(buffer[i], '#') << c.name << " at " << i;
    }
  }
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(NeighbourName(unterminated, sizeof unterminated, 1));
  EXPECT_FALSE(NeighbourName(nullptr, 10, 1));
}

}  // namespace
}  // namespace kz
