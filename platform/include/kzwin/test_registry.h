/* Registry test seams. */
#ifndef KZWIN_TEST_REGISTRY_H
#define KZWIN_TEST_REGISTRY_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The next registry write stops after its temporary file is written and synced, before the
   rename that publishes it, and fails: the folder is left as a crash at that point would. */
KZWIN_API void kzwinRegistryAbandonNextWrite(void);

/* Open registry key handles (HKEY_CURRENT_USER itself is not counted), for leak checks. */
KZWIN_API LONG kzwinCountOpenKeys(void);

#ifdef __cplusplus
}
#endif

#endif
