/* Video for Windows capture subset: capture windows, their messages and frame headers. */
#ifndef KZWIN_AVICAP_H
#define KZWIN_AVICAP_H

#include "base.h"
#include "gdi.h"
#include "user.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WM_CAP_START WM_USER
#define WM_CAP_SET_CALLBACK_FRAME (WM_CAP_START + 5)
#define WM_CAP_DRIVER_CONNECT (WM_CAP_START + 10)
#define WM_CAP_DRIVER_DISCONNECT (WM_CAP_START + 11)
#define WM_CAP_DRIVER_GET_CAPS (WM_CAP_START + 14)
#define WM_CAP_DLG_VIDEOFORMAT (WM_CAP_START + 41)
#define WM_CAP_DLG_VIDEOSOURCE (WM_CAP_START + 42)
#define WM_CAP_GET_VIDEOFORMAT (WM_CAP_START + 44)
#define WM_CAP_SET_VIDEOFORMAT (WM_CAP_START + 45)
#define WM_CAP_SET_PREVIEWRATE (WM_CAP_START + 52)
#define WM_CAP_GRAB_FRAME (WM_CAP_START + 60)

typedef struct videohdr_tag {
  LPBYTE lpData;
  DWORD dwBufferLength;
  DWORD dwBytesUsed;
  DWORD dwTimeCaptured;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD_PTR dwReserved[4];
} VIDEOHDR, *PVIDEOHDR, *LPVIDEOHDR;

typedef struct tagCapDriverCaps {
  UINT wDeviceIndex;
  BOOL fHasOverlay;
  BOOL fHasDlgVideoSource;
  BOOL fHasDlgVideoFormat;
  BOOL fHasDlgVideoDisplay;
  BOOL fCaptureInitialized;
  BOOL fDriverSuppliesPalettes;
  HANDLE hVideoIn;
  HANDLE hVideoOut;
  HANDLE hVideoExtIn;
  HANDLE hVideoExtOut;
} CAPDRIVERCAPS, *PCAPDRIVERCAPS, *LPCAPDRIVERCAPS;

typedef LRESULT(CALLBACK* CAPVIDEOCALLBACK)(HWND window, LPVIDEOHDR header);

KZWIN_API BOOL VFWAPI capGetDriverDescriptionA(UINT driverIndex, LPSTR name, int nameRoom,
                                               LPSTR version, int versionRoom);
KZWIN_API HWND VFWAPI capCreateCaptureWindowA(LPCSTR title, DWORD style, int x, int y,
                                              int width, int height, HWND parent, int id);

#ifdef __cplusplus
}
#endif

#endif
