// Sessions and the session checks every exported function makes first.
#pragma once

#include <cstdint>

namespace kz {

// Rule of the functions that take a session id: 0 means any session once KZBegin has run.
// Sets error 5 and returns false when the id is refused.
bool CheckSession(uint32_t session);
// Rule of the start functions: the id must name an open session (0 is refused). Error 5.
bool CheckOpenSession(uint32_t session);
// True once KZBegin has been called in this process.
bool EverOpened();
bool IsSessionOpen(uint32_t session);
// Sessions open now.
int OpenSessionCount();

}  // namespace kz
