// Linux stand-in for the shell's launch request, as enable-tcp-timestamps uses it.
#pragma once

#include <windows.h>

#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#define SEE_MASK_FLAG_NO_UI 0x00000400

// Fields in the platform's order; with its 64-bit alignment this is 112 bytes.
typedef struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    LPVOID lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    union {
        HANDLE hIcon;
        HANDLE hMonitor;
    };
    HANDLE hProcess;
} SHELLEXECUTEINFOA;

// Starts lpFile with lpParameters, detached and with its output discarded (see standin/README.md).
BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* info);
