// KZEnumSources and KZIsSourceInUse: the capture drivers as sources 1..10.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <cstring>

#include "capture/capture_window.h"
#include "frame/errors.h"
#include "frame/session.h"
#include "frame/stream.h"

namespace kz {
namespace {

// A driver's name as the list shows it; empty when the driver has no description and the
// mode does not name such drivers.
void SourceName(uint32_t driver, uint32_t mode, char (&name)[80]) {
  char version[80];
  std::memset(name, 0, sizeof name);
  if (!capGetDriverDescriptionA(driver, name, sizeof name, version, sizeof version)) name[0] = 0;
  name[79] = 0;
  if (name[0] == 0 && (mode == 1 || mode == 2)) {
    std::snprintf(name, sizeof name, "Video For Windows %u", driver);
  }
}

}  // namespace
}  // namespace kz

extern "C" {

int32_t KZAPI KZEnumSources(uint32_t session, KZSOURCE* list, int32_t capacity, uint32_t flags) {
  kz::SetError(0);
  if (!kz::CheckSession(session)) return 0;
  const uint32_t mode = flags & 3;
  // A negative capacity is no room at all.
  const int32_t room = capacity < 0 ? 0 : capacity;
  int32_t count = 0;
  for (uint32_t d = 0; d < kz::kSourceCount; ++d) {
    const uint32_t source = d + 1;
    const kz::SourceStream stream = kz::FindSourceStream(source);
    if (session != 0 && stream.found && stream.session != session) continue;
    char name[80];
    kz::SourceName(d, mode, name);
    if (name[0] == 0) continue;
    if (mode == 2 && !stream.found) {
      kz::TemporaryCaptureWindow probe(source, GetActiveWindow());
      if (!probe.get()) continue;
    }
    if (list && count < room) {
      KZSOURCE& s = list[count];
      std::memset(&s, 0, sizeof s);
      s.source = static_cast<int32_t>(source);
      std::memcpy(s.name, name, sizeof name);
      std::memcpy(s.nameAgain, name, sizeof name);
    }
    ++count;
  }
  if (count == 0) kz::SetError(KZ_ERR_NO_SOURCE);
  // Only a list that was given can be too small.
  if (list && count > room) kz::SetError(KZ_ERR_SOURCE_LIST_SHORT);
  return count;
}

uint32_t KZAPI KZIsSourceInUse(uint32_t session, uint32_t source, KZHWND window) {
  kz::SetError(0);
  if (!kz::CheckSession(session)) return 0;
  if (source == 0) return 0;  // no stream has id 0; free entries must not answer for it
  kz::StreamRecord* entry = kz::FindStream(source, 0);
  if (!entry) return 0;
  const uint32_t owner = entry->session.load(std::memory_order_acquire);
  if (session != 0 && owner != session) return kz::Fail(KZ_ERR_OTHER_SESSION);
  if (window != nullptr && kz::StreamWindow(entry) != window) {
    return kz::Fail(KZ_ERR_OTHER_WINDOW);
  }
  return entry->running.load(std::memory_order_acquire);
}

}  // extern "C"
