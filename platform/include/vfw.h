/* Video for Windows subset: capture windows and AVIFile (implemented by libkzwin). */
#ifndef KZWIN_VFW_H
#define KZWIN_VFW_H

#include "windows.h"
#include "kzwin/avicap.h"
#include "kzwin/avifile.h"

#endif
