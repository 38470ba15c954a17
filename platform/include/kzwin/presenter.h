/* The on-screen presenter: shows the pixel surface of one of our windows in a real window
   on the screen (SDL2), for a person watching. The library never calls it and draws the
   same either way; programs open one when they want to be seen. */
#ifndef KZWIN_PRESENTER_H
#define KZWIN_PRESENTER_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KZWIN_PRESENTER KZWIN_PRESENTER;

/* Opens an on-screen window that follows the client surface of `window` (refreshed about
   60 times a second). Null, with nothing shown, when the layer is built without SDL2,
   neither DISPLAY nor WAYLAND_DISPLAY is set, SDL's video cannot start, or `window` is no
   window: the program then runs headless. */
KZWIN_API KZWIN_PRESENTER* kzwinOpenPresenter(HWND window, LPCSTR title);

/* Copies the surface to the screen now and returns once the display server has it.
   FALSE once the person has closed the on-screen window. */
KZWIN_API BOOL kzwinPresent(KZWIN_PRESENTER* presenter);

/* TRUE once the person has closed the on-screen window. */
KZWIN_API BOOL kzwinPresenterClosed(KZWIN_PRESENTER* presenter);

/* Closes the on-screen window; null is ignored. */
KZWIN_API void kzwinClosePresenter(KZWIN_PRESENTER* presenter);

#ifdef __cplusplus
}
#endif

#endif
