/* The Win32 subset that KZVIDEO uses, for POSIX hosts (implemented by libkzwin). */
#ifndef KZWIN_WINDOWS_H
#define KZWIN_WINDOWS_H

#include "kzwin/base.h"
#include "kzwin/kernel.h"
#include "kzwin/registry.h"
#include "kzwin/user.h"
#include "kzwin/gdi.h"

#endif
