// Files over POSIX descriptors: dispositions, reads, writes, seeks, sizes, sharing, the
// disk-full seam.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/scratch.h"
#include "expect_call.h"

namespace {

using kzwin_test::Exists;
using kzwin_test::ReadText;
using kzwin_test::Scratch;
using kzwin_test::WriteText;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string& path, DWORD access, DWORD creation, DWORD share = kShareAll) {
  return CreateFileA(path.c_str(), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

DWORD Position(HANDLE file) {
  LONG high = 0;
  return SetFilePointer(file, 0, &high, FILE_CURRENT);
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

TEST_F(Files, CreationDispositions) {
  struct Case {
    DWORD creation, access;
    bool exists;
    bool opens;
    DWORD error;
    const char* after;  // contents afterwards; null: no file
  } cases[] = {
      {CREATE_NEW, GENERIC_WRITE, false, true, 0, ""},
      {CREATE_NEW, GENERIC_WRITE, true, false, ERROR_FILE_EXISTS, "hello"},
      {CREATE_ALWAYS, GENERIC_WRITE, false, true, 0, ""},
      {CREATE_ALWAYS, GENERIC_WRITE, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, GENERIC_READ, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_EXISTING, kReadWrite, true, true, 0, "hello"},
      {OPEN_ALWAYS, GENERIC_READ, false, true, 0, ""},
      {OPEN_ALWAYS, kReadWrite, true, true, ERROR_ALREADY_EXISTS, "hello"},
      {TRUNCATE_EXISTING, GENERIC_WRITE, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {TRUNCATE_EXISTING, GENERIC_WRITE, true, true, 0, ""},
      {TRUNCATE_EXISTING, GENERIC_READ, true, false, ERROR_INVALID_PARAMETER, "hello"},
      {0, GENERIC_READ, true, false, ERROR_INVALID_PARAMETER, "hello"},
      {6, GENERIC_READ, false, false, ERROR_INVALID_PARAMETER, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string path = dir / ("case" + std::to_string(n++));
    if (c.exists) WriteText(path, "hello");
    SetLastError(12345);
    HANDLE file = Open(path, c.access, c.creation);
    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens) << path;
    EXPECT_EQ(GetLastError(), c.error) << path;
    if (file != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(file));
    }
    EXPECT_EQ(Exists(path), c.after != nullptr) << path;
    if (c.after) {
      EXPECT_EQ(ReadText(path), c.after) << path;
    }
  }
}

TEST_F(Files, BackslashesSeparateFolders) {
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  std::string windowsName = dir.path() + "\\sub\\name.bin";
  HANDLE file = Open(windowsName, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(Exists(dir / "sub/name.bin"));
}

TEST_F(Files, Seeks) {
  std::string path = dir / "hundred";
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);
  WriteText(path, bytes);
  HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_EQ(SetFilePointer(file, 10, nullptr, FILE_BEGIN), 10u);

  constexpr LONG kNoHigh = 0x7EADBEEF;  // marks "pass no high part"
  struct Step {
    LONG distance, high;
    DWORD method, result, error;
    uint64_t position;  // afterwards
    LONG highOut;
  } steps[] = {
      {0, kNoHigh, FILE_CURRENT, 10, 0, 10, 0},
      {-8, kNoHigh, FILE_END, 92, 0, 92, 0},
      {5, kNoHigh, FILE_BEGIN, 5, 0, 5, 0},
      {-6, kNoHigh, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 5, 0},
      {-6, kNoHigh, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 5, 0},
      {-101, kNoHigh, FILE_END, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 5, 0},
      {-100, kNoHigh, FILE_END, 0, 0, 0, 0},
      {200, kNoHigh, FILE_BEGIN, 200, 0, 200, 0},  // beyond the end is allowed
      {0, 1, FILE_BEGIN, 0, 0, 1ull << 32, 1},
      {-1, -1, FILE_CURRENT, 0xFFFFFFFFu, 0, 0xFFFFFFFFull, 0},
      {1, kNoHigh, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, 0xFFFFFFFFull,
       0},
      {0, -1, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 0xFFFFFFFFull, 0},
      {7, kNoHigh, 3, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, 0xFFFFFFFFull, 0},
      {50, kNoHigh, FILE_BEGIN, 50, 0, 50, 0},
  };
  for (const Step& s : steps) {
    SetLastError(777);
    LONG high = s.high;
    DWORD result = SetFilePointer(file, s.distance, s.high == kNoHigh ? nullptr : &high, s.method);
    EXPECT_EQ(result, s.result) << s.distance << "/" << s.method;
    EXPECT_EQ(GetLastError(), s.error) << s.distance << "/" << s.method;
    if (s.high != kNoHigh && s.error == 0) {
      EXPECT_EQ(high, s.highOut);
    }
    LONG where = 0;
    DWORD low = SetFilePointer(file, 0, &where, FILE_CURRENT);
    EXPECT_EQ((static_cast<uint64_t>(static_cast<DWORD>(where)) << 32) | low, s.position);
  }
  char byte = 0;
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(file, &byte, 1, &done, nullptr));
  EXPECT_EQ(byte, 50);
  DWORD high = 9;
  EXPECT_EQ(GetFileSize(file, &high), 100u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_WIN_ERR(SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER,
                 ERROR_INVALID_HANDLE);
}

TEST_F(Files, SetEndOfFileTruncatesAndExtends) {
  std::string path = dir / "trunc";
  WriteText(path, std::string(100, 'x'));
  HANDLE file = Open(path, kReadWrite, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_EQ(SetFilePointer(file, 40, nullptr, FILE_BEGIN), 40u);
  EXPECT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 40u);
  EXPECT_EQ(Position(file), 40u);
  ASSERT_EQ(SetFilePointer(file, 60, nullptr, FILE_BEGIN), 60u);
  EXPECT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 60u);
  EXPECT_TRUE(FlushFileBuffers(file));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(ReadText(path), std::string(40, 'x') + std::string(20, '\0'));
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

TEST_F(Files, ShareModes) {
  std::string path = dir / "shared";
  WriteText(path, "s");
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;
  constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  struct Case {
    DWORD access1, share1, access2, share2;
    bool second;
  } cases[] = {
      {R, SR, R, SR, true},
      {R, SR, W, SR | SW, false},      // the first does not share writing
      {R | W, SR | SW, R, SR, false},  // the second does not share the first's writing
      {R | W, SR | SW, R | W, SR | SW, true},
      {W, 0, 0, 0, true},  // an open for attributes only never conflicts
      {R, 0, R, SR | SW, false},
  };
  for (const Case& c : cases) {
    HANDLE first = Open(path, c.access1, OPEN_EXISTING, c.share1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(path, c.access2, OPEN_EXISTING, c.share2);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second) << c.access1 << "/" << c.share1;
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(second);
    }
    CloseHandle(first);
    // Once the first is closed the second always opens.
    second = Open(path, c.access2, OPEN_EXISTING, c.share2);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
  }
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
  EXPECT_EQ(one.nFileIndexLow, static_cast<DWORD>(st.st_ino));
  EXPECT_EQ(one.nFileIndexHigh, static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32));
  EXPECT_EQ(one.nFileIndexLow, two.nFileIndexLow);
  EXPECT_EQ(one.dwVolumeSerialNumber, two.dwVolumeSerialNumber);
  EXPECT_EQ(one.nFileSizeLow, 5u);
  EXPECT_EQ(one.nFileSizeHigh, 0u);
  EXPECT_EQ(one.nNumberOfLinks, 2u);
  EXPECT_EQ(one.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ticks(one.ftLastWriteTime), ticks(write));
  CloseHandle(second);
  CloseHandle(file);
  EXPECT_WIN_ERR(GetFileTime(file, &creation, nullptr, nullptr), FALSE, ERROR_INVALID_HANDLE);
}

}  // namespace
