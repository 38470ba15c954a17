// The compression-options block, its store, and KZAVIOptionsDialog.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <kzwin_test.h>
#include <stdlib.h>
#include <windows.h>
#include <vfw.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "export/avi_options.h"
#include "frame/blocks.h"
#include "frame/errors.h"

namespace kz {
namespace {

struct ConfigEnv : ::testing::Environment {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/kzavi-options-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
    std::filesystem::create_directories(dir + "/config");
    std::filesystem::create_directories(dir + "/tmp");
    AVIFileInit();
  }
  void TearDown() override {
    AVIFileExit();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
auto* const kEnv = static_cast<ConfigEnv*>(::testing::AddGlobalTestEnvironment(new ConfigEnv));

std::vector<uint8_t> Stored() {
  std::vector<uint8_t> b;
  LoadStoredAviOptions(&b);
  return b;
}

void SetStored(const std::vector<uint8_t>& b) {
  ASSERT_TRUE(StoreAviOptions(b.data(), static_cast<uint32_t>(b.size())));
}

void ClearStore() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kAviOptionsKey, 0, KEY_ALL_ACCESS, &key) == 0) {
    RegDeleteValueA(key, nullptr);
    RegCloseKey(key);
  }
}

std::vector<uint8_t> Block(int32_t count, uint32_t length, DWORD handler, uint32_t cbFormat,
                           uint32_t cbParms, size_t tail) {
  std::vector<uint8_t> b(52 + tail, 0);
  auto put = [&](size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
  put(0, static_cast<uint32_t>(count));
  put(4, length);
  put(8, streamtypeVIDEO);
  put(12, handler);
  put(20, 7500);
  put(36, cbFormat);
  put(44, cbParms);
  for (size_t i = 0; i < tail; ++i) b[52 + i] = static_cast<uint8_t>(0xA0 + i);
  return b;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

std::vector<uint8_t> Short(std::vector<uint8_t> b, size_t n) {
  b.resize(n);
  return b;
}

std::string TempFile() {
  char folder[256] = {};
  GetTempPathA(255, folder);
  return std::string(folder) + "~kztemp.avi";
}

TEST(AviOptions, BlockIsWrittenFieldByField) {
  uint8_t format[7] = {1, 2, 3, 4, 5, 6, 7};
  uint8_t parms[5] = {9, 8, 7, 6, 5};
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  o.fccHandler = mmioFOURCC('M', 'J', 'P', 'G');
  o.dwKeyFrameEvery = 15;
  o.dwQuality = 8000;
  o.dwBytesPerSecond = 123456;
  o.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
  o.lpFormat = format;
  o.cbFormat = sizeof format;
  o.lpParms = parms;
  o.cbParms = sizeof parms;
  o.dwInterleaveEvery = 3;
  ASSERT_EQ(AviOptionsBlockSize(o), 52u + 7 + 5);
  std::vector<uint8_t> b(AviOptionsBlockSize(o));
  EncodeAviOptions(o, b.data());
  // Count, length, then the options' words, pointers included (the 32-bit layout).
  const auto at = [](const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  };
  const uint32_t words[] = {
      1,          44,   streamtypeVIDEO, mmioFOURCC('M', 'J', 'P', 'G'),
      15,         8000, 123456,          AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID,
      at(format), 7,    at(parms),       5,
      3};
  for (size_t i = 0; i < std::size(words); ++i) EXPECT_EQ(U32(b, 4 * i), words[i]) << 4 * i;
  EXPECT_EQ(std::memcmp(&b[52], format, 7), 0);
  EXPECT_EQ(std::memcmp(&b[59], parms, 5), 0);

  // Through the registry and back, byte for byte.
  SetStored(b);
  EXPECT_EQ(Stored(), b);
  AVICOMPRESSOPTIONS back{};
  ASSERT_TRUE(ReadAviOptions(nullptr, &back));
  EXPECT_EQ(std::tuple(back.fccHandler, back.dwBytesPerSecond, back.dwInterleaveEvery),
            std::tuple(o.fccHandler, DWORD{123456}, DWORD{3}));
  ASSERT_EQ(std::tuple(back.cbFormat, back.cbParms), std::tuple(DWORD{7}, DWORD{5}));
  EXPECT_EQ(std::memcmp(back.lpFormat, format, 7), 0);
  EXPECT_EQ(std::memcmp(back.lpParms, parms, 5), 0);
  FreeAviOptionBlocks(&back);
}

TEST(AviOptions, MisshapenBlocksAreRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> block;
    bool accepted;
  } cases[] = {
      {"good", Block(1, 44, 0, 3, 2, 5), true},
      {"longer than needed (two streams)", Block(2, 44, 0, 3, 2, 40), true},
      {"short of its head", Short(Block(1, 44, 0, 0, 0, 0), 51), false},
      {"empty", {}, false},
      {"count 0", Block(0, 44, 0, 0, 0, 0), false},
      {"count -1", Block(-1, 44, 0, 0, 0, 0), false},
      {"length 40", Block(1, 40, 0, 0, 0, 0), false},
      {"format past the end", Block(1, 44, 0, 6, 0, 5), false},
      {"parameters past the end", Block(1, 44, 0, 3, 3, 5), false},
      {"lengths that wrap", Block(1, 44, 0, 0xFFFFFFFFu, 2, 5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AVICOMPRESSOPTIONS o;
    std::memset(&o, 0x5A, sizeof o);
    EXPECT_EQ(DecodeAviOptions(c.block.data(), c.block.size(), &o), c.accepted);
    if (!c.accepted) {
      AVICOMPRESSOPTIONS zero{};
      EXPECT_EQ(std::memcmp(&o, &zero, sizeof o), 0);
    } else {
      EXPECT_EQ(static_cast<uint8_t*>(o.lpParms)[1], 0xA4);
    }
    FreeAviOptionBlocks(&o);
  }
  EXPECT_EQ(BlockCount(), 0);
}

// What the test's dialog does: the answer, and what it was shown.
struct Dialog {
  int result = KZWIN_DIALOG_OK;
  DWORD handler = mmioFOURCC('F', 'F', 'V', '1');
  std::vector<uint8_t> parms;
  bool failAlloc = false;
  AVICOMPRESSOPTIONS shown{};
  int asked = 0;
};

int Respond(KZWIN_DIALOG* d, void* context) {
  auto* dialog = static_cast<Dialog*>(context);
  ++dialog->asked;
  auto* o = static_cast<AVICOMPRESSOPTIONS*>(d->payload);
  dialog->shown = *o;
  o->fccHandler = dialog->handler;
  o->dwQuality = 9000;
  if (!dialog->parms.empty()) {
    o->lpParms = dialog->parms.data();
    o->cbParms = static_cast<DWORD>(dialog->parms.size());
  }
  if (dialog->failAlloc) kzwinFailAllocAfter(0);
  return dialog->result;
}

// Opens the dialog from `start` (or the store), cancels it, and gives what it showed.
AVICOMPRESSOPTIONS ShownThenCancelled(KZHGLOBAL start) {
  Dialog dialog;
  dialog.result = KZWIN_DIALOG_CANCEL;
  kzwinSetDialogResponder(Respond, &dialog);
  EXPECT_EQ(KZAVIOptionsDialog(nullptr, 0, start), nullptr);
  kzwinSetDialogResponder(nullptr, nullptr);
  return dialog.shown;
}

TEST(AviOptionsDialog, EveryOutcome) {
  enum Fault { kNoFault, kNoMemory, kNoTempFolder };
  enum Returns { kNull, kHandle, kStored };
  // The store changes exactly when the call succeeds (error 0).
  struct Case {
    const char* what;
    int result;
    uint32_t flags;
    Fault fault;
    Returns returns;
    uint32_t error;
  } cases[] = {
      {"confirmed", KZWIN_DIALOG_OK, 0, kNoFault, kHandle, 0},
      {"confirmed, store only", KZWIN_DIALOG_OK, KZ_OPTIONS_STORE_ONLY, kNoFault, kStored, 0},
      {"other flag bits do not count", KZWIN_DIALOG_OK, 0xFFFFFFFEu, kNoFault, kHandle, 0},
      {"cancelled", KZWIN_DIALOG_CANCEL, 0, kNoFault, kNull, KZ_ERR_OPTIONS_CANCELLED},
      {"dialog failed", KZWIN_DIALOG_FAIL, 0, kNoFault, kNull, KZ_ERR_OPTIONS_CANCELLED},
      {"no memory for the block", KZWIN_DIALOG_OK, 0, kNoMemory, kNull, KZ_ERR_MEMORY},
      {"no temporary file", KZWIN_DIALOG_OK, 0, kNoTempFolder, kNull, KZ_ERR_OPTIONS_TEMP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> before = Block(1, 44, mmioFOURCC('M', 'J', 'P', 'G'), 0, 3, 3);
    SetStored(before);
    Dialog dialog;
    dialog.result = c.result;
    dialog.parms = {4, 3, 2, 1};
    dialog.failAlloc = c.fault == kNoMemory;
    kzwinSetDialogResponder(Respond, &dialog);
    std::string tmp = kEnv->dir + "/tmp";
    if (c.fault == kNoTempFolder) setenv("TMPDIR", (kEnv->dir + "/missing").c_str(), 1);
    SetError(1234);
    KZHGLOBAL h = KZAVIOptionsDialog(nullptr, c.flags, nullptr);
    kzwinFailAllocAfter(-1);
    setenv("TMPDIR", tmp.c_str(), 1);
    kzwinSetDialogResponder(nullptr, nullptr);
    EXPECT_EQ(GetError(), c.error);
    EXPECT_EQ(dialog.asked, c.fault == kNoTempFolder ? 0 : 1);
    EXPECT_FALSE(std::filesystem::exists(TempFile()));
    EXPECT_EQ(h == KZ_OPTIONS_STORED, c.returns == kStored);
    EXPECT_EQ(h != nullptr && h != KZ_OPTIONS_STORED, c.returns == kHandle);
    if (c.fault != kNoTempFolder) {
      // The dialog started from the stored options.
      EXPECT_EQ(dialog.shown.fccHandler, mmioFOURCC('M', 'J', 'P', 'G'));
      EXPECT_EQ(dialog.shown.cbParms, 3u);
    }
    std::vector<uint8_t> after = Stored();
    if (c.error != 0) {
      EXPECT_EQ(after, before);
      continue;
    }
    ASSERT_EQ(after.size(), 52u + 4);
    EXPECT_EQ(U32(after, 12), mmioFOURCC('F', 'F', 'V', '1'));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 52, after.end()),
              (std::vector<uint8_t>{4, 3, 2, 1}));
    if (c.returns == kHandle) {
      ASSERT_EQ(GlobalSize(h), after.size());
      auto* p = static_cast<uint8_t*>(GlobalLock(h));
      EXPECT_EQ(std::vector<uint8_t>(p, p + after.size()), after);
      GlobalUnlock(h);
      // The handle starts the next dialog, which shows what it holds.
      EXPECT_EQ(ShownThenCancelled(h).fccHandler, mmioFOURCC('F', 'F', 'V', '1'));
      EXPECT_EQ(GlobalSize(h), after.size());  // read, not changed or freed
      GlobalFree(h);
    }
  }
  EXPECT_EQ(BlockCount(), 0);
}

TEST(AviOptionsDialog, StoredBlocksThatDoNotFitAreAbsent) {
  struct Case {
    const char* what;
    std::vector<uint8_t> stored;
  } cases[] = {
      {"short", std::vector<uint8_t>(30, 1)},
      {"lengths beyond the block", Block(1, 44, mmioFOURCC('M', 'J', 'P', 'G'), 100, 0, 5)},
      {"unknown compressor", Block(1, 44, mmioFOURCC('Z', 'Z', 'Z', 'Z'), 0, 2, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetStored(c.stored);
    const AVICOMPRESSOPTIONS shown = ShownThenCancelled(nullptr);
    const AVICOMPRESSOPTIONS zero{};
    EXPECT_EQ(std::memcmp(&shown, &zero, sizeof zero), 0);
    EXPECT_EQ(Stored(), c.stored);
  }
  ClearStore();
  EXPECT_EQ(ShownThenCancelled(nullptr).fccHandler, 0u);
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(BlockCount(), 0);
}

}  // namespace
}  // namespace kz
