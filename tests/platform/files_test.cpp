// Files over POSIX descriptors: Windows names, the disk-full seam, deleting, times and
// identity. Dispositions, reads, seeks and sizes as the library uses them are met by the
// frame suite's file tests.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/scratch.h"
#include "expect_call.h"

namespace {

using kzwin_test::Exists;
using kzwin_test::ReadText;
using kzwin_test::Scratch;
using kzwin_test::WriteText;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string& path, DWORD access, DWORD creation, DWORD share = kShareAll) {
  return CreateFileA(path.c_str(), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    handlesBefore = kzwinCountOpenHandles();
  }
  void TearDown() override {
    kzwinFailWritesAfter(-1);
    EXPECT_EQ(kzwinCountOpenHandles(), handlesBefore) << "a file handle leaked";
  }
  Scratch dir;
  LONG handlesBefore = 0;
};

TEST_F(Files, BackslashesSeparateFolders) {
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  std::string windowsName = dir.path() + "\\sub\\name.bin";
  HANDLE file = Open(windowsName, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(Exists(dir / "sub/name.bin"));
}

TEST_F(Files, WriteSeamShortWriteThenDiskFull) {
  std::string path = dir / "full";
  HANDLE file = Open(path, GENERIC_WRITE, CREATE_NEW);
  HANDLE other = Open(dir / "other", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  kzwinFailWritesAfter(10);
  struct Step {
    HANDLE file;
    const char* text;
    BOOL ok;
    DWORD written, error;
  } steps[] = {
      {file, "abcdef", TRUE, 6, 0},
      {other, "gh", TRUE, 2, 0},     // the budget is shared by every handle
      {file, "ijklmn", TRUE, 2, 0},  // the short write
      {file, "opq", FALSE, 0, ERROR_DISK_FULL},
      {other, "r", FALSE, 0, ERROR_DISK_FULL},
      {file, "", TRUE, 0, 0},  // nothing to write never fails
  };
  for (const Step& s : steps) {
    SetLastError(0);
    DWORD written = 99;
    EXPECT_EQ(WriteFile(s.file, s.text, static_cast<DWORD>(std::strlen(s.text)), &written, nullptr),
              s.ok)
        << s.text;
    EXPECT_EQ(written, s.written) << s.text;
    EXPECT_EQ(GetLastError(), s.error) << s.text;
  }
  kzwinFailWritesAfter(-1);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "Z", 1, &written, nullptr));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_EQ(ReadText(path), "abcdefijZ");
  EXPECT_EQ(ReadText(dir / "other"), "gh");
}

TEST_F(Files, RealFullDiskIsDiskFull) {
  HANDLE file = Open("/dev/full", GENERIC_WRITE, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no /dev/full";
  DWORD written = 99;
  EXPECT_WIN_ERR(WriteFile(file, "abc", 3, &written, nullptr), FALSE, ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Files, Delete) {
  std::string a = dir / "a", b = dir / "b";
  WriteText(a, "AAA");
  WriteText(b, "BBB");
  HANDLE open = Open(a, GENERIC_READ, OPEN_EXISTING, kShareAll);
  EXPECT_WIN_ERR(DeleteFileA(a.c_str()), FALSE, ERROR_SHARING_VIOLATION);
  CloseHandle(open);

  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  struct Case {
    std::string name;
    BOOL ok;
    DWORD error;
  } deletes[] = {
      {b, TRUE, 0},
      {b, FALSE, ERROR_FILE_NOT_FOUND},
      {dir / "none/x", FALSE, ERROR_PATH_NOT_FOUND},
      {dir / "folder", FALSE, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : deletes) {
    SetLastError(0);
    EXPECT_EQ(DeleteFileA(c.name.c_str()), c.ok) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
}

TEST_F(Files, TimesAndIdentity) {
  std::string path = dir / "timed";
  WriteText(path, "12345");
  struct timespec times[2] = {{1008115200, 123456789}, {1008201600, 500}};  // access, write
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME creation{}, access{}, write{};
  ASSERT_TRUE(GetFileTime(file, &creation, &access, &write));
  auto ticks = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  EXPECT_EQ(ticks(access), (1008115200ull + 11644473600ull) * 10000000ull + 1234567ull);
  EXPECT_EQ(ticks(write), (1008201600ull + 11644473600ull) * 10000000ull + 5ull);
  uint64_t now = (static_cast<uint64_t>(time(nullptr)) + 11644473600ull + 5) * 10000000ull;
  EXPECT_GT(ticks(creation), 0u);
  EXPECT_LE(ticks(creation), now);

  ASSERT_EQ(link(path.c_str(), (dir / "again").c_str()), 0);
  HANDLE second = Open(dir / "again", GENERIC_READ, OPEN_EXISTING);
  BY_HANDLE_FILE_INFORMATION one{}, two{};
  ASSERT_TRUE(GetFileInformationByHandle(file, &one));
  ASSERT_TRUE(GetFileInformationByHandle(second, &two));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const uint64_t ino = static_cast<uint64_t>(st.st_ino);
  EXPECT_EQ((uint64_t{one.nFileIndexHigh} << 32) | one.nFileIndexLow, ino);
  EXPECT_EQ(std::tuple(two.nFileIndexLow, two.dwVolumeSerialNumber),
            std::tuple(one.nFileIndexLow, one.dwVolumeSerialNumber));
  EXPECT_EQ(
      std::tuple(one.nFileSizeLow, one.nFileSizeHigh, one.nNumberOfLinks, one.dwFileAttributes),
      std::tuple(5u, 0u, 2u, DWORD{FILE_ATTRIBUTE_NORMAL}));
  EXPECT_EQ(ticks(one.ftLastWriteTime), ticks(write));
  CloseHandle(second);
  CloseHandle(file);
  EXPECT_WIN_ERR(GetFileTime(file, &creation, nullptr, nullptr), FALSE, ERROR_INVALID_HANDLE);
}

}  // namespace
