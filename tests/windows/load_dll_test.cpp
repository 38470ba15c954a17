// A program that does not link against KZVIDEO.DLL: it loads the DLL by name and finds its
// functions through GetProcAddress, by plain name and by fixed ordinal, as callers that
// only know the export table do.
#include <gtest/gtest.h>
#include <kzvideo.h>
#include <windows.h>

#include <cstring>

namespace {

using BeginFn = uint32_t(KZAPI*)(KZACCESS*);
using EndFn = int(KZAPI*)(uint32_t);
using VersionFn = uint32_t(KZAPI*)(char*, int32_t);

struct Dll {
  HMODULE module = LoadLibraryA("KZVIDEO.DLL");
  ~Dll() {
    if (module) FreeLibrary(module);
  }
  FARPROC ByName(const char* name) const { return GetProcAddress(module, name); }
  FARPROC ByOrdinal(WORD ordinal) const { return GetProcAddress(module, MAKEINTRESOURCEA(ordinal)); }
};

template <class F>
F As(FARPROC p) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(p));
}

TEST(LoadDll, FunctionsByNameAndOrdinalAreTheSameAndWork) {
  Dll dll;
  ASSERT_NE(dll.module, nullptr) << GetLastError();
  struct Export {
    const char* name;
    WORD ordinal;
  } const exports[] = {{"KZEntryPoint", 1}, {"KZBegin", 3}, {"KZEnd", 10}, {"KZVersion", 45}};
  for (const Export& x : exports) {
    SCOPED_TRACE(x.name);
    const FARPROC byName = dll.ByName(x.name);
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName, dll.ByOrdinal(x.ordinal));
  }
  // Plain names only: no stdcall decoration, and no ordinal past the table.
  EXPECT_EQ(dll.ByName("KZBegin@4"), nullptr);
  EXPECT_EQ(dll.ByName("_KZBegin@4"), nullptr);
  EXPECT_EQ(dll.ByOrdinal(48), nullptr);

  for (bool byOrdinal : {false, true}) {
    SCOPED_TRACE(byOrdinal ? "by ordinal" : "by name");
    const auto begin = As<BeginFn>(byOrdinal ? dll.ByOrdinal(3) : dll.ByName("KZBegin"));
    const auto end = As<EndFn>(byOrdinal ? dll.ByOrdinal(10) : dll.ByName("KZEnd"));
    const auto version = As<VersionFn>(byOrdinal ? dll.ByOrdinal(45) : dll.ByName("KZVersion"));
    ASSERT_TRUE(begin && end && version);

    KZACCESS access{};
    access.size = sizeof access;
    const uint32_t session = begin(&access);
    ASSERT_NE(session, 0u);
    EXPECT_EQ(access.session, session);
    EXPECT_EQ(access.version, uint32_t{KZ_VERSION_NUMBER});
    // The table's slots are the DLL's own exports.
    EXPECT_EQ(reinterpret_cast<void*>(access.KZVersion), reinterpret_cast<void*>(version));

    char text[64];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(version(text, sizeof text), uint32_t{KZ_VERSION_NUMBER});
    EXPECT_STREQ(text, "1.000 beta - Dec 12 2001");
    EXPECT_EQ(end(session), 1);
    EXPECT_EQ(end(session), 0);  // a closed session is gone
  }
}

}  // namespace
