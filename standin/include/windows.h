// Linux stand-in for the few Windows base services that enable-tcp-timestamps uses.
// Written from what the program needs, not from the platform's headers: only the names,
// the sizes and the behaviour the program relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define MAX_PATH 260
#define SW_HIDE 0

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Windows is LLP64: DWORD and ULONG stay 32-bit where Linux's long is 64-bit.
typedef int BOOL;
typedef unsigned int UINT;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* HANDLE;
// Distinct opaque types, so that one handle can't be passed for another.
typedef struct StandinWindow* HWND;
typedef struct StandinInstance* HINSTANCE;
typedef struct StandinKey* HKEY;

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD code);

// The stand-in's system folder is the one named by STANDIN_SYSTEM_DIR; without it the call fails.
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);
