/* The test-pattern camera: configuration of the capture drivers behind capture windows,
   and the exact frames the camera delivers.

   Driver 0 is always a test-pattern camera. Drivers 1 to 9 exist only when configured.
   A camera delivers every format below at any size from 160 x 120 to 1920 x 1080 whose
   width is a multiple of 4 and whose height is even (described as a BITMAPINFOHEADER's
   biCompression and biBitCount):

     UYVY 16, Y422 16, YUY2 16, Y444 24, Y411 12, I420 12, YVU9 9, Y800 8,
     GV24 24, "GV8\0" 8, and uncompressed (BI_RGB) 24, 16 (5-5-5) and 8 (grey).

   A frame is the padded row length x height bytes, where the padded row length is
   (biBitCount x width / 8 + 3) & ~3 (3 x width for GV24, width for GV8), plus 768 bytes
   of R,G,B palette in front for GV8. The pixels sit in the natural layout of the format
   (packed top row first; BI_RGB bottom row first with padded rows; planar formats plane
   after plane from byte 0), and bytes past the natural layout are 0.

   The picture of frame n (n counts frames delivered since the driver was connected,
   starting at 0), in R,G,B before conversion to the format:
   - Top row, pixels 0 to 31: the frame number, most significant bit first; a 1 bit is
     white (255,255,255), a 0 bit black (0,0,0).
   - Everything else in the top two thirds (rows y < 2h/3): eight vertical colour bars,
     white, yellow, cyan, green, magenta, red, blue, black, each w/8 wide, moved left by
     4n pixels per frame: bar = ((x + 4n) * 8 / w) mod 8.
   - The bottom third: a gradient, R = 255x / (w-1), G = 255y / (h-1), B = 128.
   Luma and chroma are full range: Y = (77R + 150G + 29B + 128) >> 8,
   U = ((-43R - 85G + 128B + 128) >> 8) + 128, V = ((128R - 107G - 21B + 128) >> 8) + 128,
   clamped to 0..255. A chroma sample takes the colour of the top-left pixel it serves.
   RGB16 keeps the top five bits of each channel; 8-bit grey formats store the luma (GV8
   and BI_RGB 8-bit frames index a grey ramp). */
#ifndef KZWIN_TEST_CAMERA_H
#define KZWIN_TEST_CAMERA_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KZWIN_CAMERA_FORMAT {
  DWORD compression; /* biCompression: a FOURCC, or 0 (BI_RGB) */
  WORD bitCount;     /* biBitCount */
} KZWIN_CAMERA_FORMAT;

#define KZWIN_CAMERA_MAX_FORMATS 16

typedef struct KZWIN_CAMERA {
  LPCSTR name;       /* description; null: "KZ Test Pattern Camera" (+ " <index>" above 0) */
  /* Formats the camera refuses, by (compression, bitCount). */
  KZWIN_CAMERA_FORMAT refused[KZWIN_CAMERA_MAX_FORMATS];
  LONG refusedCount;
  /* When nonzero, only these formats are accepted. */
  KZWIN_CAMERA_FORMAT only[KZWIN_CAMERA_MAX_FORMATS];
  LONG onlyCount;
  BOOL refuseAllFormats;
  /* When nonzero, only this frame size is accepted. */
  LONG onlyWidth, onlyHeight;
  /* The format current at first; a zero startWidth gives 320 x 240 YUY2. Any description
     is taken here, also one the camera cannot deliver (it then grabs no frames). */
  LONG startWidth, startHeight;
  DWORD startCompression;
  WORD startBitCount;
  /* Nonzero: WM_CAP_GET_VIDEOFORMAT reports this size instead of the true one. */
  LONG reportFormatBytes;
  BOOL failConnect;          /* every connect replies 0 */
  LONG framesBeforeFailure;  /* >= 0: after this many frames, grabs deliver nothing */
  DWORD delayMs;             /* every driver operation first Sleeps this long */
  BOOL noSourceDialog;
  BOOL noFormatDialog;
  DWORD framesPerSecond;     /* for dwTimeCaptured; 0 gives 30 */
} KZWIN_CAMERA;

/* A configuration with every field at its default (no failures, all formats). */
KZWIN_API void kzwinDefaultCamera(KZWIN_CAMERA* camera);
/* Installs camera `driverIndex` (0 to 9). Null removes it (driver 0 returns to the
   default). Windows already connected keep the camera they have. FALSE for an index above 9. */
KZWIN_API BOOL kzwinSetCamera(UINT driverIndex, const KZWIN_CAMERA* camera);
/* Driver 0 at its default, no other driver. */
KZWIN_API void kzwinResetCameras(void);
/* Capture windows connected to driver `driverIndex` now (0 or 1). */
KZWIN_API LONG kzwinCameraConnections(UINT driverIndex);

/* Thread CPU time, in nanoseconds, that all cameras have spent drawing the frames they
   delivered since the process started (benchmarks subtract it from the grabbing thread's). */
KZWIN_API LONGLONG kzwinCameraRenderNanoseconds(void);

/* Writes test frame `frameNumber` as the camera delivers it. Returns the frame's bytes, or 0
   when the format or size is not one the camera delivers or `room` is too small. */
KZWIN_API DWORD kzwinRenderTestFrame(void* out, DWORD room, LONG width, LONG height,
                                     DWORD compression, WORD bitCount, DWORD frameNumber);
/* Reads the frame number back from a frame of any of the camera's formats. FALSE when the
   format is unknown, the frame is too small, or a code pixel is neither black nor white. */
KZWIN_API BOOL kzwinDecodeTestFrame(const void* frame, DWORD bytes, LONG width, LONG height,
                                    DWORD compression, WORD bitCount, DWORD* frameNumber);

#ifdef __cplusplus
}
#endif

#endif
