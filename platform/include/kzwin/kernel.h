/* Kernel subset: global memory, files, threads, clocks, time zones. */
#ifndef KZWIN_KERNEL_H
#define KZWIN_KERNEL_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Global memory: movable handles that lock to a stable address. */
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

KZWIN_API HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
KZWIN_API HGLOBAL WINAPI GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags);
KZWIN_API HGLOBAL WINAPI GlobalFree(HGLOBAL mem);
KZWIN_API LPVOID WINAPI GlobalLock(HGLOBAL mem);
KZWIN_API BOOL WINAPI GlobalUnlock(HGLOBAL mem);
KZWIN_API SIZE_T WINAPI GlobalSize(HGLOBAL mem);
KZWIN_API HGLOBAL WINAPI GlobalHandle(LPCVOID address);

/* Last error of the Win32 layer itself (not the library's). */
KZWIN_API DWORD WINAPI GetLastError(void);
KZWIN_API void WINAPI SetLastError(DWORD code);
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_HANDLE_EOF 38L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_NAME 123L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_NOT_LOCKED 158L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_NOACCESS 998L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

/* Files over POSIX descriptors. Paths may use '\\' or '/' as the separator, as on Windows.
   Share modes are enforced between the handles of this process. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

KZWIN_API HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                    HANDLE templateFile);
KZWIN_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                               LPOVERLAPPED overlapped);
KZWIN_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                LPOVERLAPPED overlapped);
KZWIN_API DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh,
                                      DWORD method);
KZWIN_API BOOL WINAPI SetEndOfFile(HANDLE file);
KZWIN_API DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high);
KZWIN_API BOOL WINAPI CloseHandle(HANDLE object);
KZWIN_API BOOL WINAPI FlushFileBuffers(HANDLE file);
KZWIN_API BOOL WINAPI DeleteFileA(LPCSTR name);
KZWIN_API BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
#define MOVEFILE_REPLACE_EXISTING 0x00000001
KZWIN_API DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD room, LPSTR buffer, LPSTR* filePart);
KZWIN_API DWORD WINAPI GetTempPathA(DWORD room, LPSTR buffer);
KZWIN_API BOOL WINAPI GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME access,
                                  LPFILETIME write);

typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
KZWIN_API BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;
KZWIN_API HANDLE WINAPI FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data);
KZWIN_API BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
KZWIN_API BOOL WINAPI FindClose(HANDLE find);

/* Threads. */
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
KZWIN_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                     LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                     LPDWORD threadId);
KZWIN_API DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
KZWIN_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code);
KZWIN_API DWORD WINAPI GetCurrentThreadId(void);
KZWIN_API void WINAPI Sleep(DWORD milliseconds);
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u

/* Clocks and time zones. */
KZWIN_API DWORD WINAPI timeGetTime(void);
KZWIN_API void WINAPI GetSystemTime(LPSYSTEMTIME time);

typedef struct _TIME_ZONE_INFORMATION {
  LONG Bias;
  WORD StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WORD DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
} TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu
#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2
KZWIN_API DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION info);

#ifdef __cplusplus
}
#endif

#endif
