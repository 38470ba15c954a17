/* Registry subset: HKEY_CURRENT_USER kept as an atomic file store. */
#ifndef KZWIN_REGISTRY_H
#define KZWIN_REGISTRY_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_OPTION_NON_VOLATILE 0x00000000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002
typedef DWORD REGSAM;

KZWIN_API LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                                      DWORD options, REGSAM access,
                                      LPSECURITY_ATTRIBUTES security, PHKEY result,
                                      LPDWORD disposition);
KZWIN_API LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                    PHKEY result);
KZWIN_API LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                       LPBYTE data, LPDWORD size);
KZWIN_API LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                     const BYTE* data, DWORD size);
KZWIN_API LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name);
KZWIN_API LONG WINAPI RegCloseKey(HKEY key);

#ifdef __cplusplus
}
#endif

#endif
