// Loading the library runs KZEntryPoint, which sets nothing up: every table starts zeroed.
#include <kzvideo.h>

#if defined(_WIN32)
// The C runtime's own entry point runs first and then calls DllMain, so static data and
// the runtime are ready before the library's entry point is reached.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  return KZEntryPoint(module, reason, reserved);
}
#else
__attribute__((constructor)) static void KzLoad() { KZEntryPoint(nullptr, 1, nullptr); }
#endif
