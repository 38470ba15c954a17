/* GDI test seams: memory surface sizes, reading surfaces back, saving them as BMP. */
#ifndef KZWIN_TEST_GDI_H
#define KZWIN_TEST_GDI_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gives a memory device context a cleared surface of width x height pixels (a new one has
   1 x 1, as on Windows). FALSE for a DC that is not a memory DC or a size beyond 2^28
   pixels. */
KZWIN_API BOOL kzwinSetMemoryDCSize(HDC dc, LONG width, LONG height);

/* Fills the surface of `dc` (or of `window` when dc is null) with 0x00RRGGBB. */
KZWIN_API BOOL kzwinFillSurface(HDC dc, HWND window, DWORD colour);

/* Reads the surface of `dc` (or of `window` when dc is null): its size into *width and
   *height, and, when `pixels` is given and `capacity` (in pixels) suffices, its pixels as
   0x00RRGGBB, top row first. FALSE when there is no surface or the capacity is short. */
KZWIN_API BOOL kzwinReadSurface(HDC dc, HWND window, LONG* width, LONG* height, DWORD* pixels,
                                LONG capacity);

/* Writes the surface as a 24-bit bottom-up BMP file. FALSE on any failure. */
KZWIN_API BOOL kzwinSaveSurfaceBmp(HDC dc, HWND window, LPCSTR path);

/* Chooses the row kernel SetDIBitsToDevice copies 24-bit DIBs with: 0 plain, 1 SSSE3,
   2 AVX-512 VBMI, negative the fastest this processor runs (the default). FALSE when the
   processor lacks the one asked for. */
KZWIN_API BOOL kzwinUseDibRows(LONG level);

/* Live device contexts (window and memory), for leak checks. */
KZWIN_API LONG kzwinCountDCs(void);

#ifdef __cplusplus
}
#endif

#endif
