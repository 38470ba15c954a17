#ifndef KZWIN_MMSYSTEM_H
#define KZWIN_MMSYSTEM_H
#include "windows.h"
#endif
