// Registry functions over the key-file store. Key handles are our own small table;
// values are read afresh from the key's file on every query, so writes made by another
// process (or another handle) are seen at once.
#include <windows.h>
#include <kzwin_test.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "registry_store.h"

namespace kzwin::reg {
namespace {

struct Key {
  std::string folder;  // the store as it was named when the key was opened
  std::string folded;  // case-folded path below HKEY_CURRENT_USER
  std::string spelled;
  REGSAM access = 0;
};

std::mutex keysMutex;
std::unordered_map<uintptr_t, Key>& Keys() {
  static auto* keys = new std::unordered_map<uintptr_t, Key>;
  return *keys;
}
uintptr_t nextKey = 0x1000;  // under keysMutex; values never come back

bool IsRoot(HKEY key) {
  return key == HKEY_CURRENT_USER;
}

// The key behind a handle; HKEY_CURRENT_USER is the store's root with every right.
bool Resolve(HKEY handle, Key* out) {
  if (IsRoot(handle)) {
    *out = Key{StoreFolder(), "", "", KEY_ALL_ACCESS};
    return true;
  }
  std::lock_guard lock(keysMutex);
  auto it = Keys().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Keys().end()) return false;
  *out = it->second;
  return true;
}

HKEY Enter(Key key) {
  std::lock_guard lock(keysMutex);
  nextKey += 4;
  Keys().emplace(nextKey, std::move(key));
  return reinterpret_cast<HKEY>(nextKey);
}

// Joins a sub-key path to its parent's. Windows refuses empty parts ("\\a", "a\\\\b") but
// lets one trailing separator pass.
LONG SubPath(const Key& parent, const char* subKey, std::string* spelled) {
  std::string sub = subKey ? subKey : "";
  if (!sub.empty() && sub.back() == '\\') sub.pop_back();
  *spelled = parent.spelled;
  if (sub.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  while (true) {
    size_t end = sub.find('\\', start);
    size_t length = (end == std::string::npos ? sub.size() : end) - start;
    if (length == 0) return ERROR_BAD_PATHNAME;
    if (length > 255) return ERROR_INVALID_PARAMETER;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  *spelled = spelled->empty() ? sub : *spelled + "\\" + sub;
  return ERROR_SUCCESS;
}

const Value* FindValue(const KeyData& data, const std::string& foldedName) {
  for (const Value& v : data.values) {
    if (FoldCase(v.name) == foldedName) return &v;
  }
  return nullptr;
}

}  // namespace
}  // namespace kzwin::reg

namespace reg = kzwin::reg;

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY parentHandle, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (!result || !subKey) return ERROR_INVALID_PARAMETER;
  reg::Key parent;
  if (!reg::Resolve(parentHandle, &parent)) return ERROR_INVALID_HANDLE;
  if (!(parent.access & KEY_CREATE_SUB_KEY) && *subKey) return ERROR_ACCESS_DENIED;
  std::string spelled;
  if (LONG rc = reg::SubPath(parent, subKey, &spelled); rc != ERROR_SUCCESS) return rc;
  // Every key on the way is made too, as Windows does.
  bool created = false;
  if (spelled != parent.spelled) {
    size_t from = parent.spelled.empty() ? 0 : parent.spelled.size() + 1;
    while (true) {
      size_t cut = spelled.find('\\', from);
      std::string part = spelled.substr(0, cut);
      LONG rc = reg::CreateKey(parent.folder, reg::FoldCase(part), part, &created);
      if (rc != ERROR_SUCCESS) return rc;
      if (cut == std::string::npos) break;
      from = cut + 1;
    }
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = reg::Enter(reg::Key{parent.folder, reg::FoldCase(spelled), spelled, access});
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY parentHandle, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  reg::Key parent;
  if (!reg::Resolve(parentHandle, &parent)) return ERROR_INVALID_HANDLE;
  if ((!subKey || !*subKey) && reg::IsRoot(parentHandle)) {
    *result = HKEY_CURRENT_USER;  // Windows hands a predefined key back unchanged
    return ERROR_SUCCESS;
  }
  std::string spelled;
  if (LONG rc = reg::SubPath(parent, subKey, &spelled); rc != ERROR_SUCCESS) return rc;
  std::string folded = reg::FoldCase(spelled);
  if (parent.folder.empty() || !reg::KeyExists(parent.folder, folded)) {
    return ERROR_FILE_NOT_FOUND;
  }
  *result = reg::Enter(reg::Key{parent.folder, folded, spelled, access});
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
  reg::Key key;
  if (!reg::Resolve(handle, &key)) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  reg::KeyData contents;
  LONG rc =
      key.folder.empty() ? ERROR_FILE_NOT_FOUND : reg::ReadKey(key.folder, key.folded, &contents);
  if (rc != ERROR_SUCCESS) return rc;
  const reg::Value* value = reg::FindValue(contents, reg::FoldCase(name ? name : ""));
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  if (!size) return ERROR_SUCCESS;
  const DWORD needed = static_cast<DWORD>(value->data.size());
  if (!data) {
    *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;  // nothing written into a buffer that is too small
  }
  if (needed) std::memcpy(data, value->data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY handle, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                           DWORD size) {
  reg::Key key;
  if (!reg::Resolve(handle, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (size && !data) return ERROR_NOACCESS;
  std::string valueName = name ? name : "";
  if (valueName.size() > reg::kMaxValueName) return ERROR_INVALID_PARAMETER;
  if (size > reg::kMaxKeyFile) return ERROR_NOT_ENOUGH_MEMORY;
  const std::string folded = reg::FoldCase(valueName);
  return reg::ChangeKey(key.folder, key.folded, key.spelled, [&](reg::KeyData& contents) {
    auto* value = const_cast<reg::Value*>(reg::FindValue(contents, folded));
    if (!value) {
      contents.values.emplace_back();
      value = &contents.values.back();
      value->name = valueName;  // a replaced value keeps the spelling of its first write
    }
    value->type = type;
    value->data.assign(data, data + size);
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG WINAPI RegDeleteValueA(HKEY handle, LPCSTR name) {
  reg::Key key;
  if (!reg::Resolve(handle, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  const std::string folded = reg::FoldCase(name ? name : "");
  if (key.folder.empty()) return ERROR_FILE_NOT_FOUND;
  return reg::ChangeKey(key.folder, key.folded, key.spelled, [&](reg::KeyData& contents) {
    auto it = std::find_if(contents.values.begin(), contents.values.end(),
                           [&](const reg::Value& v) { return reg::FoldCase(v.name) == folded; });
    if (it == contents.values.end()) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    contents.values.erase(it);
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG WINAPI RegCloseKey(HKEY handle) {
  if (reg::IsRoot(handle)) return ERROR_SUCCESS;
  std::lock_guard lock(reg::keysMutex);
  return reg::Keys().erase(reinterpret_cast<uintptr_t>(handle)) ? ERROR_SUCCESS
                                                                : ERROR_INVALID_HANDLE;
}

void kzwinRegistryAbandonNextWrite(void) {
  reg::AbandonNextWrite();
}

LONG kzwinCountOpenKeys(void) {
  std::lock_guard lock(reg::keysMutex);
  return static_cast<LONG>(reg::Keys().size());
}

}  // extern "C"
