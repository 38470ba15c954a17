// The registry's file store: one file per key under $XDG_CONFIG_HOME/kzvideo/, each
// replaced as a whole (temporary file, fsync, rename), so a reader always sees either the
// old or the new key and a crash never leaves half a value.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kzwin::reg {

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct KeyData {
  std::string path;  // the key's path below HKEY_CURRENT_USER as first written
  std::vector<Value> values;
};

// Largest key file the store writes or reads; a larger file counts as damaged.
constexpr size_t kMaxKeyFile = 64u << 20;
constexpr size_t kMaxValueName = 16383;

std::vector<uint8_t> Encode(const KeyData& key);
// False for anything but a whole, undamaged key file.
bool Decode(const uint8_t* bytes, size_t size, KeyData* key);

// The store's folder as the environment names it now; empty when there is none.
std::string StoreFolder();
// Case-folded form of a key path, by which keys are compared (Windows ignores case).
std::string FoldCase(const std::string& text);
// The file of a key, from its folded path ("" is HKEY_CURRENT_USER itself).
std::string KeyFileName(const std::string& foldedPath);

// Reads a key. ERROR_SUCCESS with the key's values (none when its file is damaged),
// ERROR_FILE_NOT_FOUND when the key does not exist.
LONG ReadKey(const std::string& folder, const std::string& foldedPath, KeyData* key);

// Runs `change` on the key's current contents and writes the result atomically, holding
// the store's lock against other processes. `change` returns ERROR_SUCCESS to write.
LONG ChangeKey(const std::string& folder, const std::string& foldedPath,
               const std::string& spelledPath, const std::function<LONG(KeyData&)>& change);

// Makes a key when it is missing (an empty key file); `created` tells which happened.
LONG CreateKey(const std::string& folder, const std::string& foldedPath,
               const std::string& spelledPath, bool* created);

// Whether a key exists (its file is there).
bool KeyExists(const std::string& folder, const std::string& foldedPath);

// Test seam: the next write stops after its temporary file is synced, before the rename,
// and fails, as a process that died there would leave the folder.
void AbandonNextWrite();

}  // namespace kzwin::reg
