// The registry's file store: values with Windows' query rules, reopening, crashes between
// write and rename, damaged key files, other processes and threads. Keys as the library
// creates and opens them are met by the capture format store and the AVI options tests.
#include <gtest/gtest.h>
#include <kzwin_test.h>
#include <windows.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/scratch.h"

namespace {

using kzwin_test::Exists;
using kzwin_test::ReadText;
using kzwin_test::ScopedEnv;
using kzwin_test::Scratch;
using kzwin_test::WriteText;

constexpr const char* kFormats = "Software\\Orbel\\Kazam\\formats";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    keysBefore = kzwinCountOpenKeys();
  }
  void TearDown() override { EXPECT_EQ(kzwinCountOpenKeys(), keysBefore) << "a key handle leaked"; }

  HKEY Create(const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, disposition),
              ERROR_SUCCESS)
        << path;
    return key;
  }
  HKEY Open(const char* path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }
  static LONG Set(HKEY key, const char* name, const std::string& data, DWORD type = REG_BINARY) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
  }
  // The value's bytes, or "<error N>".
  static std::string Get(HKEY key, const char* name) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
    if (rc != ERROR_SUCCESS) return "<error " + std::to_string(rc) + ">";
    std::string data(size, '\0');
    rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc != ERROR_SUCCESS) return "<error " + std::to_string(rc) + ">";
    data.resize(size);
    return data;
  }
  std::string Store() const { return dir / "kzvideo"; }
  std::vector<std::string> StoreFiles() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(Store().c_str())) {
      while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
      }
      closedir(d);
    }
    return names;
  }
  int TempFiles() const {
    int temps = 0;
    for (const std::string& name : StoreFiles()) temps += name.find(".tmp.") != std::string::npos;
    return temps;
  }

  Scratch dir;
  ScopedEnv config{"XDG_CONFIG_HOME", dir.path().c_str()};
  LONG keysBefore = 0;
};

TEST_F(Registry, QueryFollowsWindowsRules) {
  HKEY key = Create(kFormats);
  const std::string formats(24, '\x5a');
  ASSERT_EQ(Set(key, "Source 001", formats), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "empty", ""), ERROR_SUCCESS);

  struct Case {
    const char* name;
    bool withData;
    DWORD room;
    LONG rc;
    DWORD sizeOut, typeOut;
    bool filled;
  } cases[] = {
      {"Source 001", false, 0, ERROR_SUCCESS, 24, REG_BINARY, false},  // size query
      {"Source 001", true, 10, ERROR_MORE_DATA, 24, REG_BINARY, false},
      {"Source 001", true, 24, ERROR_SUCCESS, 24, REG_BINARY, true},
      {"SOURCE 001", true, 100, ERROR_SUCCESS, 24, REG_BINARY, true},  // names ignore case
      {"Source 002", true, 100, ERROR_FILE_NOT_FOUND, 100, 99, false},
      {"empty", true, 100, ERROR_SUCCESS, 0, REG_BINARY, false},
      {"", true, 100, ERROR_FILE_NOT_FOUND, 100, 99, false},  // no default value yet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.name + "', room " + std::to_string(c.room));
    std::vector<BYTE> buffer(128, 0xEE);
    DWORD size = c.room, type = 99;
    BYTE* data = c.withData ? buffer.data() : nullptr;
    EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, data, &size), c.rc);
    EXPECT_EQ(size, c.sizeOut);
    EXPECT_EQ(type, c.typeOut);
    if (c.filled) {
      EXPECT_EQ(std::memcmp(buffer.data(), formats.data(), 24), 0);
      EXPECT_EQ(buffer[24], 0xEE);  // nothing past the value
    } else {
      EXPECT_EQ(buffer[0], 0xEE);
    }
  }
  DWORD size = 4;
  BYTE byte[4];
  EXPECT_EQ(RegQueryValueExA(key, "Source 001", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Source 001", &size, nullptr, byte, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Source 001", nullptr, nullptr, byte, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Source 001", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(Set(key, "x", "y"), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, SetReplacesAndReadOnlyKeysRefuse) {
  HKEY key = Create("Software\\Orbel\\Kazam\\avioptions");
  // The default value: a null name and "" are the same value.
  EXPECT_EQ(Set(key, nullptr, "first"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, ""), "first");
  EXPECT_EQ(Set(key, "", "second, longer"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, nullptr), "second, longer");
  EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  HKEY reader = Open("Software\\Orbel\\Kazam\\avioptions");
  EXPECT_EQ(Set(reader, "x", "y"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Get(reader, ""), "second, longer");
  RegCloseKey(reader);
  RegCloseKey(key);
}

TEST_F(Registry, ValuesSurviveReopenAndLongOrOddNames) {
  std::string binary("\0\1\2\3\xff", 5);
  std::string longName = "Software\\" + std::string(250, 'L');
  const char* odd = "Odd/..\\..%Name";
  for (const char* path : {kFormats, longName.c_str(), odd}) {
    HKEY key = Create(path);
    EXPECT_EQ(Set(key, "Source 010", binary), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  for (const char* path : {kFormats, longName.c_str(), odd}) {
    HKEY key = Open(path);
    EXPECT_EQ(Get(key, "Source 010"), binary) << path;
    RegCloseKey(key);
  }
  // Every key is one file inside the store, whatever its name.
  EXPECT_TRUE(Exists(Store() + "/hkcu.software.orbel.kazam.formats.key"));
  for (const std::string& name : StoreFiles()) {
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.substr(name.size() - 4), ".key") << name;
  }
  EXPECT_EQ(StoreFiles().size(), 7u);  // software, orbel, kazam, formats, long, odd/.., ..%name
}

TEST_F(Registry, CrashBetweenWriteAndRenameKeepsTheOldValue) {
  HKEY key = Create(kFormats);
  ASSERT_EQ(Set(key, "Source 001", "old"), ERROR_SUCCESS);
  kzwinRegistryAbandonNextWrite();
  EXPECT_NE(Set(key, "Source 001", "new value"), ERROR_SUCCESS);
  EXPECT_EQ(TempFiles(), 1) << "the abandoned temporary file stays, as after a crash";
  EXPECT_EQ(Get(key, "Source 001"), "old");
  EXPECT_EQ(Set(key, "Source 001", "newer"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "Source 001"), "newer");
  // The next writer, holding the store's lock, knows the leftover is dead and removes it.
  EXPECT_EQ(TempFiles(), 0);
  RegCloseKey(key);
}

TEST_F(Registry, DamagedKeyFilesReadAsEmpty) {
  HKEY key = Create(kFormats);
  ASSERT_EQ(Set(key, "Source 001", std::string(30, 'f')), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Source 002", "ok"), ERROR_SUCCESS);
  const std::string file = Store() + "/hkcu.software.orbel.kazam.formats.key";
  const std::string good = ReadText(file);
  ASSERT_GT(good.size(), 40u);
  // One per check: too short, wrong magic, checksum.
  std::string flipped = good;
  flipped[0] ^= 0x10;
  const std::string damaged[] = {"", flipped, good.substr(0, good.size() - 1)};
  for (const std::string& bytes : damaged) {
    SCOPED_TRACE(bytes.size());
    WriteText(file, bytes);
    EXPECT_EQ(Get(key, "Source 001"), "<error 2>");
    EXPECT_EQ(Get(key, "Source 002"), "<error 2>");
  }
  // The key still exists and takes new values.
  HKEY reopened = Open(kFormats, KEY_ALL_ACCESS);
  EXPECT_EQ(Set(reopened, "Source 003", "fresh"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "Source 003"), "fresh");
  WriteText(file, good);
  EXPECT_EQ(Get(key, "Source 002"), "ok");
  RegCloseKey(reopened);
  RegCloseKey(key);
}

TEST_F(Registry, AnotherProcessSeesWrites) {
  HKEY key = Create(kFormats);
  ASSERT_EQ(Set(key, "Source 001", "parent"), ERROR_SUCCESS);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HKEY own = nullptr;
    bool ok = RegOpenKeyExA(HKEY_CURRENT_USER, kFormats, 0, KEY_ALL_ACCESS, &own) == 0 &&
              Get(own, "Source 001") == "parent" && Set(own, "Source 001", "child") == 0;
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Get(key, "Source 001"), "child");  // read afresh through the old handle
  RegCloseKey(key);
}

std::string ValueName(int thread, int i) {
  return "v" + std::to_string(thread) + "." + std::to_string(i);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4, kEach = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      HKEY key = Create(kFormats);
      for (int i = 0; i < kEach; ++i)
        EXPECT_EQ(Set(key, ValueName(t, i).c_str(), ValueName(t, i)), 0);
      RegCloseKey(key);
    });
  }
  for (std::thread& t : threads) t.join();
  HKEY key = Create(kFormats);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(Get(key, ValueName(t, i).c_str()), ValueName(t, i));
  }
  RegCloseKey(key);
}

TEST_F(Registry, FallsBackToHomeConfig) {
  ScopedEnv home("HOME", dir.path().c_str());
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    config.Set(value);
    HKEY key = Create("Software\\Fallback");
    EXPECT_EQ(Set(key, "v", "1"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(dir / ".config/kzvideo/hkcu.software.fallback.key"));
  }
}

}  // namespace
