// Full and temporary paths, and finding a file by its name, as the library asks for them:
// a full path into a MAX_PATH buffer, the temporary folder, one exact name at a time.
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
    std::string name, full;
  } cases[] = {{"/a/b/../c/./d", "/a/c/d"},
               {"/a/b/", "/a/b/"},
               {"/a//b", "/a/b"},
               {"/a/b/..", "/a"},
               {"/../../x", "/x"},
               {"\\a\\b\\..\\c.avi", "/a/c.avi"},
               {"x/y.vid", cwd + "/x/y.vid"},
               {"./x/../../z", cwd.substr(0, cwd.find_last_of('/')) + "/z"}};
  for (const Case& c : cases) {
    char buffer[4096];
    EXPECT_EQ(GetFullPathNameA(c.name.c_str(), sizeof buffer, buffer, nullptr), c.full.size())
        << c.name;
    EXPECT_EQ(std::string(buffer), c.full) << c.name;
  }
  // Too little room: the size needed, terminator included, and the buffer left alone.
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetFullPathNameA("/a/b/../c/d", 6, buffer, nullptr), 7u);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#'));
  EXPECT_WIN_ERR(GetFullPathNameA("", sizeof buffer, buffer, nullptr), 0u, ERROR_INVALID_NAME);
}

TEST(TempPath, FromTmpdirWithSeparator) {
  kzwin_test::ScopedEnv tmpdir("TMPDIR", getenv("TMPDIR"));
  struct Case {
    const char* tmpdir;  // null: unset
    std::string path;
  } cases[] = {{"/var/scratch", "/var/scratch/"},
               {"/var/scratch/", "/var/scratch/"},
               {nullptr, "/tmp/"},
               {"", "/tmp/"}};
  for (const Case& c : cases) {
    tmpdir.Set(c.tmpdir);
    char buffer[256];
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), c.path.size());
    EXPECT_EQ(std::string(buffer), c.path);
  }
}

// A name found gives its stored spelling; what is missing says whether its folder exists.
TEST(FindFile, ExactNamesAbsoluteAndRelative) {
  Scratch dir;
  LONG handlesBefore = kzwinCountOpenHandles();
  WriteText(dir / "Alpha.vid", "12345");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  struct Case {
    std::string name, found;
    DWORD error;  // when nothing is found
  } cases[] = {
      {dir / "Alpha.vid", "Alpha.vid", 0},
      {dir.path() + "\\Alpha.vid", "Alpha.vid", 0},
      {dir / "sub", "sub", 0},
      {dir / "alpha.VID", "", ERROR_FILE_NOT_FOUND},
      {dir / "missing", "", ERROR_FILE_NOT_FOUND},
      {dir / "none/x", "", ERROR_PATH_NOT_FOUND},
      {dir / "sub/", "", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(c.name.c_str(), &data);
    if (c.found.empty()) {
      EXPECT_EQ(find, INVALID_HANDLE_VALUE) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
      continue;
    }
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << c.name;
    EXPECT_STREQ(data.cFileName, c.found.c_str());
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
  }
  const std::string before = Cwd();
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA("Alpha.vid", &data);
  EXPECT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  ASSERT_EQ(chdir(before.c_str()), 0);
  EXPECT_EQ(kzwinCountOpenHandles(), handlesBefore);
}

}  // namespace
