/* Test seams of the platform layer. The library never calls these. */
#ifndef KZWIN_TEST_H
#define KZWIN_TEST_H

#include "kzwin/test_kernel.h"
#include "kzwin/test_registry.h"
#include "kzwin/test_user.h"
#include "kzwin/test_gdi.h"
#include "kzwin/test_camera.h"
#include "kzwin/test_dialogs.h"
#include "kzwin/test_avifile.h"

#endif
