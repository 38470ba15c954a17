// Built without SDL2: no display is ever available, programs run headless.
#include <windows.h>
#include <kzwin/presenter.h>

KZWIN_PRESENTER* kzwinOpenPresenter(HWND, LPCSTR) {
  return nullptr;
}
BOOL kzwinPresent(KZWIN_PRESENTER*) {
  return FALSE;
}
BOOL kzwinPresenterClosed(KZWIN_PRESENTER*) {
  return TRUE;
}
void kzwinClosePresenter(KZWIN_PRESENTER*) {}
