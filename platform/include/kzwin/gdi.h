/* GDI subset: device contexts on window and memory surfaces, DIB drawing. */
#ifndef KZWIN_GDI_H
#define KZWIN_GDI_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BI_RGB 0L
#define BI_BITFIELDS 3L
#define DIB_RGB_COLORS 0

#pragma pack(push, 2)
typedef struct tagBITMAPFILEHEADER {
  WORD bfType;
  DWORD bfSize;
  WORD bfReserved1;
  WORD bfReserved2;
  DWORD bfOffBits;
} BITMAPFILEHEADER;
#pragma pack(pop)

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER, *LPBITMAPINFOHEADER, *PBITMAPINFOHEADER;

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO, *LPBITMAPINFO;

KZWIN_API HDC WINAPI GetDC(HWND window);
KZWIN_API int WINAPI ReleaseDC(HWND window, HDC dc);
KZWIN_API HWND WINAPI WindowFromDC(HDC dc);
KZWIN_API HDC WINAPI CreateCompatibleDC(HDC dc);
KZWIN_API BOOL WINAPI DeleteDC(HDC dc);
KZWIN_API int WINAPI SetDIBitsToDevice(HDC dc, int xDest, int yDest, DWORD width, DWORD height,
                                       int xSrc, int ySrc, UINT startScan, UINT scanLines,
                                       const void* bits, const BITMAPINFO* info, UINT colorUse);

#ifdef __cplusplus
}
#endif

#endif
