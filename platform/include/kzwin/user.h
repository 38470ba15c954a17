/* Windowing subset: windows with owner threads, sent messages, message boxes. */
#ifndef KZWIN_USER_H
#define KZWIN_USER_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SIZE 0x0005
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_USER 0x0400

#define WS_OVERLAPPED 0x00000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_POPUP 0x80000000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define CW_USEDEFAULT ((int)0x80000000)

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L

#define MB_OK 0x00000000L
#define IDOK 1

typedef LRESULT(CALLBACK* WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *LPMSG;

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HANDLE hIcon;
  HANDLE hCursor;
  HANDLE hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
} WNDCLASSA;

KZWIN_API WORD WINAPI RegisterClassA(const WNDCLASSA* windowClass);
KZWIN_API HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style,
                                      int x, int y, int width, int height, HWND parent,
                                      HMENU menu, HINSTANCE instance, LPVOID param);
KZWIN_API LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KZWIN_API BOOL WINAPI DestroyWindow(HWND window);
KZWIN_API BOOL WINAPI IsWindow(HWND window);
KZWIN_API HWND WINAPI GetParent(HWND window);
KZWIN_API BOOL WINAPI GetClientRect(HWND window, LPRECT rect);
KZWIN_API DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);
KZWIN_API LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KZWIN_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KZWIN_API BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                                   UINT remove);
KZWIN_API BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
KZWIN_API BOOL WINAPI TranslateMessage(const MSG* msg);
KZWIN_API LRESULT WINAPI DispatchMessageA(const MSG* msg);
KZWIN_API void WINAPI PostQuitMessage(int exitCode);
KZWIN_API HWND WINAPI GetActiveWindow(void);
KZWIN_API HWND WINAPI GetDesktopWindow(void);
KZWIN_API int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

#ifdef __cplusplus
}
#endif

#endif
