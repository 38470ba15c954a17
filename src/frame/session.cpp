// Sessions: KZBegin, KZEnd and the session checks of every other exported function.
#include "frame/session.h"

#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "frame/access_table.h"
#include "frame/errors.h"
#include "frame/stream.h"

namespace kz {
namespace {

// Callers may open and close sessions from several threads: the table, the count and the
// counter change together under this lock, which is never held while streams are stopped.
std::mutex sessionMutex;
uint32_t sessions[KZ_MAX_SESSIONS];  // open ids, oldest first
int32_t sessionCount = 0;
uint32_t sessionCounter = 0;
std::atomic<bool> openedOnce{false};

// Position of `id` among the open sessions, or -1. Needs sessionMutex.
int32_t FindSession(uint32_t id) {
  for (int32_t i = 0; i < sessionCount; ++i) {
    if (sessions[i] == id) return i;
  }
  return -1;
}

}  // namespace

bool EverOpened() {
  return openedOnce.load(std::memory_order_acquire);
}

bool IsSessionOpen(uint32_t session) {
  if (session == 0) return false;
  std::lock_guard lock(sessionMutex);
  return FindSession(session) >= 0;
}

bool CheckSession(uint32_t session) {
  if (session != 0 ? IsSessionOpen(session) : EverOpened()) return true;
  SetError(KZ_ERR_SESSION);
  return false;
}

bool CheckOpenSession(uint32_t session) {
  if (IsSessionOpen(session)) return true;
  SetError(KZ_ERR_SESSION);
  return false;
}

int OpenSessionCount() {
  std::lock_guard lock(sessionMutex);
  return sessionCount;
}

}  // namespace kz

extern "C" {

uint32_t KZAPI KZBegin(KZACCESS* access) {
  using namespace kz;
  SetError(0);
  // Set even when this call fails: session id 0 is accepted from the first KZBegin on.
  openedOnce.store(true, std::memory_order_release);

  uint32_t id = 0;
  {
    std::lock_guard lock(sessionMutex);
    if (access && (access->size & KZ_REJOIN)) {
      access->size &= ~KZ_REJOIN;
      if (access->session != 0 && FindSession(access->session) >= 0) return access->session;
    }
    if (sessionCount >= KZ_MAX_SESSIONS) return Fail(KZ_ERR_TOO_MANY_SESSIONS);
    if (access && access->size != sizeof(KZACCESS)) return Fail(KZ_ERR_RECORD_SIZE);
    // Ids are never given out twice; the last one of the 32-bit range is never reached in
    // practice, but 0 must never become an id.
    if (sessionCounter == UINT32_MAX) return Fail(KZ_ERR_TOO_MANY_SESSIONS);
    id = ++sessionCounter;
    sessions[sessionCount++] = id;
  }
  if (access) FillAccess(access, id);
  AVIFileInit();  // once per session, balanced by KZEnd
  return id;
}

int KZAPI KZEnd(uint32_t session) {
  using namespace kz;
  SetError(0);
  // An id that names no open session fails before any stream is touched.
  {
    std::lock_guard lock(sessionMutex);
    if (session == 0 && sessionCount > 0) session = sessions[sessionCount - 1];
    if (session == 0 || FindSession(session) < 0) return Fail(KZ_ERR_SESSION);
  }

  // Every running stream of every session stops, newest entry first.
  for (int i = StreamCount() - 1; i >= 0; --i) {
    StreamRecord& entry = StreamTable()[i];
    const uint32_t id = entry.streamId.load(std::memory_order_acquire);
    // An idle entry is taken too when it waits to be released (a stop that timed out, or
    // a display whose window went away), so that nothing of it outlives the session.
    if (id == 0 || (entry.running.load(std::memory_order_acquire) == 0 &&
                    entry.stopTimedOut.load(std::memory_order_acquire) == 0)) {
      continue;
    }
    StopStreams(id, kAllBits);
    if (entry.streamId.load(std::memory_order_acquire) == id &&
        entry.running.load(std::memory_order_acquire) != 0) {
      return Fail(KZ_ERR_STOP_TIMEOUT);
    }
  }

  {
    std::lock_guard lock(sessionMutex);
    const int32_t i = FindSession(session);
    // Another thread may have closed it while the streams stopped.
    if (i < 0) return Fail(KZ_ERR_SESSION);
    std::copy(sessions + i + 1, sessions + sessionCount, sessions + i);
    --sessionCount;
  }
  AVIFileExit();
  return 1;
}

}  // extern "C"
