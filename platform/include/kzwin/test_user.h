/* User-area test seams. */
#ifndef KZWIN_TEST_USER_H
#define KZWIN_TEST_USER_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Live windows of every thread (the desktop window not counted), for leak checks. */
KZWIN_API LONG kzwinCountWindows(void);

#ifdef __cplusplus
}
#endif

#endif
