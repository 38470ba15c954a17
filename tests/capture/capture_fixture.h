// A clean setting for the capture tests: an empty formats store in a folder of its own,
// the default cameras, one open session, and a check that nothing was left behind.
#pragma once

#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <stdlib.h>
#include <windows.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "capture/format_store.h"
#include "frame/blocks.h"
#include "frame/stream.h"

namespace kz::test {

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/kzcaptureXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    kzwinResetCameras();
    kzwinSetDialogResponder(nullptr, nullptr);
    session_ = KZBegin(nullptr);
    ASSERT_NE(session_, 0u);
    windows_ = kzwinCountWindows();
    blocks_ = BlockCount();
  }

  void TearDown() override {
    ClearFakes();
    KZEnd(session_);
    EXPECT_EQ(kzwinCountWindows(), windows_) << "capture windows left behind";
    EXPECT_EQ(BlockCount(), blocks_) << "memory blocks left behind";
    for (UINT d = 0; d < 10; ++d) EXPECT_EQ(kzwinCameraConnections(d), 0) << d;
    kzwinResetCameras();
    kzwinSetDialogResponder(nullptr, nullptr);
    kzwinFailAllocAfter(-1);
    std::filesystem::remove_all(folder_);
  }

  // Takes the stand-in streams away (before KZEnd, which would wait for their threads).
  void ClearFakes() {
    for (StreamRecord* e : fakes_) {
      std::lock_guard lock(StreamTableMutex());
      e->Reset();
      e->streamId.store(0);
    }
    for (HWND w : fakeWindows_) {
      SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
      DestroyWindow(w);
    }
    fakes_.clear();
    fakeWindows_.clear();
  }

  // A stream table entry standing for a running stream on `source`; with `connect`, it has
  // a capture window of its own connected to the source's driver.
  StreamRecord* FakeStream(uint32_t source, uint32_t session, uint32_t running, bool connect,
                           HWND displayWindow = nullptr) {
    std::lock_guard lock(StreamTableMutex());
    StreamRecord* e = TakeEntry(nullptr);
    if (!e) return nullptr;
    e->session.store(session);
    e->running.store(running);
    e->display.window = displayWindow;
    if (connect) {
      HWND w = capCreateCaptureWindowA("KZ Video Capture", WS_CHILD, 0, 0, 1600, 1200, nullptr, 0);
      SendMessageA(w, WM_CAP_DRIVER_CONNECT, source - 1, 0);
      e->captureWindow = w;
      fakeWindows_.push_back(w);
    }
    e->streamId.store(source);
    fakes_.push_back(e);
    return e;
  }

  static KZWIN_CAMERA Camera() {
    KZWIN_CAMERA c;
    kzwinDefaultCamera(&c);
    return c;
  }
  // A camera that starts in this format.
  static void StartIn(KZWIN_CAMERA& c, LONG w, LONG h, DWORD compression, WORD bits) {
    c.startWidth = w, c.startHeight = h, c.startCompression = compression, c.startBitCount = bits;
  }
  // Driver `index` as the default camera changed by `edit`.
  template <class Edit>
  static void SetCamera(UINT index, Edit edit) {
    KZWIN_CAMERA c = Camera();
    edit(c);
    kzwinSetCamera(index, &c);
  }

  // The raw value "Source %03d" of the formats store, or nullopt-like empty with `found`.
  static std::vector<uint8_t> StoredBytes(uint32_t source, DWORD* type = nullptr,
                                          bool* found = nullptr) {
    HKEY key = nullptr;
    std::vector<uint8_t> data;
    if (found) *found = false;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Orbel\\Kazam\\formats", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return data;
    }
    char name[16];
    std::snprintf(name, sizeof name, "Source %03u", source);
    DWORD size = 0, t = 0;
    if (RegQueryValueExA(key, name, nullptr, &t, nullptr, &size) == ERROR_SUCCESS) {
      if (found) *found = true;
      data.resize(size);
      RegQueryValueExA(key, name, nullptr, &t, data.data(), &size);
      if (type) *type = t;
    }
    RegCloseKey(key);
    return data;
  }

  static void StoreBytes(uint32_t source, const std::vector<uint8_t>& data,
                         DWORD type = REG_BINARY) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Orbel\\Kazam\\formats", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    char name[16];
    std::snprintf(name, sizeof name, "Source %03u", source);
    static const BYTE nothing = 0;
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, data.empty() ? &nothing : data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // A format as {width, height, format code, bit count}.
  using Four = std::array<int32_t, 4>;
  static Four Of(const KZFORMAT& f) { return {f.width, f.height, f.format, f.bitCount}; }

  static std::vector<uint8_t> Entries(std::initializer_list<std::array<int32_t, 3>> list) {
    std::vector<uint8_t> data;
    for (const auto& e : list) {
      for (int32_t v : e) {
        for (int b = 0; b < 4; ++b) data.push_back(static_cast<uint8_t>(uint32_t(v) >> (8 * b)));
      }
    }
    return data;
  }

  std::string folder_;
  uint32_t session_ = 0;
  LONG windows_ = 0;
  int blocks_ = 0;
  std::vector<StreamRecord*> fakes_;
  std::vector<HWND> fakeWindows_;
};

}  // namespace kz::test
