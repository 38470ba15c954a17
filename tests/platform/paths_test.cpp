// Full and temporary paths, and the directory search.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/scratch.h"
#include "expect_call.h"

namespace {

using kzwin_test::Scratch;
using kzwin_test::WriteText;

std::string Cwd() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

TEST(FullPath, FoldsAndMeasures) {
  const std::string cwd = Cwd();
  ASSERT_FALSE(cwd.empty());
  struct Case {
    std::string name, full, filePart;  // filePart "" means a null file part
  } cases[] = {
      {"/a/b/../c/./d", "/a/c/d", "d"},
      {"/a/b/", "/a/b/", ""},
      {"/a//b", "/a/b", "b"},
      {"/a/b/.", "/a/b", "b"},
      {"/a/b/..", "/a", "a"},
      {"/..", "/", ""},
      {"/../../x", "/x", "x"},
      {"\\a\\b\\..\\c.avi", "/a/c.avi", "c.avi"},
      {"x/y.vid", cwd + "/x/y.vid", "y.vid"},
      {".", cwd, cwd.substr(cwd.find_last_of('/') + 1)},
      {"./x/../../z", cwd.substr(0, cwd.find_last_of('/')) + "/z", "z"},
  };
  for (const Case& c : cases) {
    char buffer[4096];
    char* part = reinterpret_cast<char*>(1);
    DWORD n = GetFullPathNameA(c.name.c_str(), sizeof buffer, buffer, &part);
    EXPECT_EQ(n, c.full.size()) << c.name;
    EXPECT_EQ(std::string(buffer), c.full) << c.name;
    if (c.filePart.empty()) {
      EXPECT_EQ(part, nullptr) << c.name;
    } else {
      ASSERT_NE(part, nullptr);
      EXPECT_EQ(std::string(part), c.filePart) << c.name;
      EXPECT_EQ(part, buffer + c.full.size() - c.filePart.size());
    }
  }
}

TEST(FullPath, TooSmallBuffersGetTheNeededSize) {
  // "/a/c/d" is 6 characters: 7 with its terminator.
  for (DWORD room : {0u, 1u, 5u, 6u}) {
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    char* part = nullptr;
    EXPECT_EQ(GetFullPathNameA("/a/b/../c/d", room, buffer, &part), 7u) << room;
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#')) << room;
  }
  char buffer[7];
  EXPECT_EQ(GetFullPathNameA("/a/b/../c/d", 7, buffer, nullptr), 6u);
  EXPECT_STREQ(buffer, "/a/c/d");
  EXPECT_EQ(GetFullPathNameA("/a", 0, nullptr, nullptr), 3u);
  EXPECT_WIN_ERR(GetFullPathNameA("", sizeof buffer, buffer, nullptr), 0u, ERROR_INVALID_NAME);
  EXPECT_WIN_ERR(GetFullPathNameA(nullptr, sizeof buffer, buffer, nullptr), 0u,
                 ERROR_INVALID_PARAMETER);
}

TEST(TempPath, FromTmpdirWithSeparator) {
  kzwin_test::ScopedEnv tmpdir("TMPDIR", getenv("TMPDIR"));
  struct Case {
    const char* tmpdir;  // null: unset
    std::string path;
  } cases[] = {
      {"/var/scratch", "/var/scratch/"},
      {"/var/scratch/", "/var/scratch/"},
      {nullptr, "/tmp/"},
      {"", "/tmp/"},
  };
  for (const Case& c : cases) {
    tmpdir.Set(c.tmpdir);
    char buffer[256];
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), c.path.size());
    EXPECT_EQ(std::string(buffer), c.path);
    char tiny[4] = "##";
    EXPECT_EQ(GetTempPathA(sizeof tiny, tiny), c.path.size() + 1);
    EXPECT_STREQ(tiny, "##");
  }
}

TEST(FindFile, NamesAndPatterns) {
  Scratch dir;
  LONG handlesBefore = kzwinCountOpenHandles();
  WriteText(dir / "Alpha.vid", "12345");
  WriteText(dir / "beta.vid", "");
  WriteText(dir / "gamma.avi", "");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  struct Case {
    std::string pattern;
    std::vector<std::string> found;
    DWORD error;  // when nothing is found
  } cases[] = {
      {dir / "Alpha.vid", {"Alpha.vid"}, 0},
      {dir.path() + "\\beta.vid", {"beta.vid"}, 0},
      {dir / "*.vid", {"Alpha.vid", "beta.vid"}, 0},
      {dir / "?eta.*", {"beta.vid"}, 0},
      {dir / "sub", {"sub"}, 0},
      {dir / "*.mov", {}, ERROR_FILE_NOT_FOUND},
      {dir / "alpha.VID", {}, ERROR_FILE_NOT_FOUND},
      {dir / "missing", {}, ERROR_FILE_NOT_FOUND},
      {dir / "none/x", {}, ERROR_PATH_NOT_FOUND},
      {dir / "none/*", {}, ERROR_PATH_NOT_FOUND},
      {dir / "sub/", {}, ERROR_FILE_NOT_FOUND},
      {dir / "*/x", {}, ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(c.pattern.c_str(), &data);
    if (c.found.empty()) {
      EXPECT_EQ(find, INVALID_HANDLE_VALUE) << c.pattern;
      EXPECT_EQ(GetLastError(), c.error) << c.pattern;
      continue;
    }
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << c.pattern;
    std::vector<std::string> names{data.cFileName};
    while (FindNextFileA(find, &data)) names.emplace_back(data.cFileName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(names, c.found) << c.pattern;
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
  }

  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir / "Alpha.vid").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  FindClose(find);
  find = FindFirstFileA((dir / "sub").c_str(), &data);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  FindClose(find);
  EXPECT_EQ(kzwinCountOpenHandles(), handlesBefore);
}

TEST(FindFile, RelativeToTheCurrentFolder) {
  Scratch dir;
  WriteText(dir / "take1.vid", "abc");
  WriteText(dir / "take2.vid", "");
  const std::string before = Cwd();
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA("take*.vid", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "take1.vid");
  EXPECT_EQ(data.nFileSizeLow, 3u);
  EXPECT_TRUE(FindNextFileA(find, &data));
  EXPECT_STREQ(data.cFileName, "take2.vid");
  EXPECT_TRUE(FindClose(find));
  find = FindFirstFileA("take2.vid", &data);
  EXPECT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  ASSERT_EQ(chdir(before.c_str()), 0);
}

}  // namespace
