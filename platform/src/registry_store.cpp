// Key files: encoding, reading and atomic replacement.
//
// Layout (little-endian): "KZRG", u32 version 1, u32 path length, path bytes, u32 value
// count, then per value u32 name length, u32 type, u32 data length, name bytes, data bytes;
// last a u32 FNV-1a checksum of everything before it.
#include "registry_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kzwin::reg {
namespace {

constexpr uint8_t kMagic[4] = {'K', 'Z', 'R', 'G'};
constexpr uint32_t kVersion = 1;
// The escaped name of a key can outgrow what a file name may hold; such keys are stored
// under a hash of their path (which the file repeats, so a collision reads as no key).
constexpr size_t kMaxFileName = 200;

std::atomic<bool> abandonNextWrite{false};
std::atomic<uint32_t> tempCounter{0};

uint32_t Fnv1a(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Reader {
  const uint8_t* p;
  size_t left;
  bool Get32(uint32_t* v) {
    if (left < 4) return false;
    *v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    p += 4;
    left -= 4;
    return true;
  }
  bool Take(size_t n, const uint8_t** at) {
    if (left < n) return false;
    *at = p;
    p += n;
    left -= n;
    return true;
  }
};

LONG FromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_WRITE_FAULT;
  }
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Holds the store's lock across processes (and across threads: each holder has its own
// open file description).
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      int rc;
      while ((rc = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
      }
      locked_ = rc == 0;
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  int fd() const { return fd_; }
  // False where the file system has no locks; the store then works without them.
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

// Every writer holds the lock while its temporary file exists, so a temporary file seen
// under the lock was left by a writer that died (or gave up) before its rename.
void RemoveStrays(const FolderLock& lock) {
  if (!lock.locked()) return;
  int fd = dup(lock.fd());
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (std::strstr(entry->d_name, ".key.tmp.")) unlinkat(lock.fd(), entry->d_name, 0);
  }
  closedir(dir);
}

LONG WriteKeyFile(const std::string& folder, int folderFd, const std::string& file,
                  const std::vector<uint8_t>& bytes) {
  std::string temp =
      file + ".tmp." + std::to_string(getpid()) + "." + std::to_string(tempCounter.fetch_add(1));
  std::string tempPath = folder + "/" + temp;
  int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return FromErrno(errno);
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  int err = errno;
  close(fd);
  if (!ok) {
    unlink(tempPath.c_str());
    return FromErrno(err);
  }
  if (abandonNextWrite.exchange(false)) return ERROR_WRITE_FAULT;  // "dies" before the rename
  if (rename(tempPath.c_str(), (folder + "/" + file).c_str()) != 0) {
    err = errno;
    unlink(tempPath.c_str());
    return FromErrno(err);
  }
  fsync(folderFd);  // make the rename itself durable
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<uint8_t> Encode(const KeyData& key) {
  std::vector<uint8_t> out(kMagic, kMagic + 4);
  Put32(out, kVersion);
  Put32(out, static_cast<uint32_t>(key.path.size()));
  out.insert(out.end(), key.path.begin(), key.path.end());
  Put32(out, static_cast<uint32_t>(key.values.size()));
  for (const Value& v : key.values) {
    Put32(out, static_cast<uint32_t>(v.name.size()));
    Put32(out, v.type);
    Put32(out, static_cast<uint32_t>(v.data.size()));
    out.insert(out.end(), v.name.begin(), v.name.end());
    out.insert(out.end(), v.data.begin(), v.data.end());
  }
  Put32(out, Fnv1a(out.data(), out.size()));
  return out;
}

bool Decode(const uint8_t* bytes, size_t size, KeyData* key) {
  if (size < 20 || std::memcmp(bytes, kMagic, 4) != 0) return false;
  Reader tail{bytes + size - 4, 4};
  uint32_t sum = 0;
  tail.Get32(&sum);
  if (sum != Fnv1a(bytes, size - 4)) return false;
  Reader r{bytes + 4, size - 8};
  uint32_t version = 0, pathLength = 0, count = 0;
  const uint8_t* at = nullptr;
  if (!r.Get32(&version) || version != kVersion || !r.Get32(&pathLength) ||
      !r.Take(pathLength, &at)) {
    return false;
  }
  KeyData result;
  result.path.assign(reinterpret_cast<const char*>(at), pathLength);
  if (!r.Get32(&count) || count > r.left / 12) return false;
  result.values.resize(count);
  for (Value& v : result.values) {
    uint32_t nameLength = 0, dataLength = 0;
    const uint8_t *name = nullptr, *data = nullptr;
    if (!r.Get32(&nameLength) || !r.Get32(&v.type) || !r.Get32(&dataLength) ||
        nameLength > kMaxValueName || !r.Take(nameLength, &name) || !r.Take(dataLength, &data)) {
      return false;
    }
    v.name.assign(reinterpret_cast<const char*>(name), nameLength);
    v.data.assign(data, data + dataLength);
  }
  if (r.left != 0) return false;
  *key = std::move(result);
  return true;
}

std::string StoreFolder() {
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && config[0] == '/') {  // a relative setting is to be ignored
    base = config;
  } else {
    const char* home = getenv("HOME");
    if (home && home[0] == '/') {
      base = home;
    } else {
      struct passwd entry, *found = nullptr;
      char buffer[4096];
      if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found ||
          !found->pw_dir || found->pw_dir[0] != '/') {
        return std::string();
      }
      base = found->pw_dir;
    }
    base += "/.config";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/kzvideo";
}

std::string FoldCase(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string KeyFileName(const std::string& foldedPath) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = "hkcu";
  if (!foldedPath.empty()) name += '.';
  for (unsigned char c : foldedPath) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name += static_cast<char>(c);
    } else if (c == '\\') {
      name += '.';
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 15];
    }
  }
  if (name.size() > kMaxFileName) {
    const auto* p = reinterpret_cast<const uint8_t*>(foldedPath.data());
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < foldedPath.size(); ++i) h = (h ^ p[i]) * 1099511628211ull;
    name = "hkcu.~";
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(h >> shift) & 15];
  }
  return name + ".key";
}

LONG ReadKey(const std::string& folder, const std::string& foldedPath, KeyData* key) {
  key->path.clear();
  key->values.clear();
  std::string file = folder + "/" + KeyFileName(foldedPath);
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (foldedPath.empty()) return ERROR_SUCCESS;  // HKEY_CURRENT_USER always exists
    return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : FromErrno(errno);
  }
  struct stat st;
  std::vector<uint8_t> bytes;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<uint64_t>(st.st_size) <= kMaxKeyFile;
  if (ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ok = got == bytes.size();
  }
  close(fd);
  KeyData decoded;
  // A damaged file (or one of another key sharing its hashed name) holds no values.
  if (ok && Decode(bytes.data(), bytes.size(), &decoded) && FoldCase(decoded.path) == foldedPath) {
    *key = std::move(decoded);
  }
  return ERROR_SUCCESS;
}

bool KeyExists(const std::string& folder, const std::string& foldedPath) {
  if (foldedPath.empty()) return true;
  struct stat st;
  return stat((folder + "/" + KeyFileName(foldedPath)).c_str(), &st) == 0;
}

LONG ChangeKey(const std::string& folder, const std::string& foldedPath,
               const std::string& spelledPath, const std::function<LONG(KeyData&)>& change) {
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  if (!MakeFolders(folder)) return FromErrno(errno);
  FolderLock lock(folder);
  if (lock.fd() < 0) return FromErrno(errno);
  RemoveStrays(lock);
  KeyData key;
  LONG rc = ReadKey(folder, foldedPath, &key);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  if (key.path.empty()) key.path = spelledPath;
  rc = change(key);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<uint8_t> bytes = Encode(key);
  if (bytes.size() > kMaxKeyFile) return ERROR_NOT_ENOUGH_MEMORY;
  return WriteKeyFile(folder, lock.fd(), KeyFileName(foldedPath), bytes);
}

LONG CreateKey(const std::string& folder, const std::string& foldedPath,
               const std::string& spelledPath, bool* created) {
  *created = false;
  if (foldedPath.empty()) return ERROR_SUCCESS;
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  if (KeyExists(folder, foldedPath)) return ERROR_SUCCESS;
  if (!MakeFolders(folder)) return FromErrno(errno);
  FolderLock lock(folder);
  if (lock.fd() < 0) return FromErrno(errno);
  RemoveStrays(lock);
  if (KeyExists(folder, foldedPath)) return ERROR_SUCCESS;  // another process was quicker
  KeyData key;
  key.path = spelledPath;
  LONG rc = WriteKeyFile(folder, lock.fd(), KeyFileName(foldedPath), Encode(key));
  *created = rc == ERROR_SUCCESS;
  return rc;
}

void AbandonNextWrite() {
  abandonNextWrite.store(true);
}

}  // namespace kzwin::reg
