// Switches on TCP timestamps (RFC 1323) through an elevated netsh, then shows the setting.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static_assert(sizeof(SHELLEXECUTEINFOA) == 112, "cbSize must be the 64-bit record size");

int main()
{
    // Every program below is named without a folder, and both the shell and cmd.exe look in the
    // current folder first: start from the system folder so that a powershell.exe dropped where the
    // user happens to be (Downloads, say) is never the one run, least of all elevated.
    // If this fails we carry on as before.
    char systemDir[MAX_PATH];
    const UINT systemDirLen = GetSystemDirectoryA(systemDir, MAX_PATH);
    if (systemDirLen > 0 && systemDirLen < MAX_PATH) {
        SetCurrentDirectoryA(systemDir);
    }

    SHELLEXECUTEINFOA ShExecInfo = {};
    ShExecInfo.cbSize = 112;
    ShExecInfo.fMask = SEE_MASK_FLAG_NO_UI;
    ShExecInfo.hwnd = NULL;
    ShExecInfo.lpVerb = "runas";
    ShExecInfo.lpFile = "powershell.exe";

    const std::string cmd1 = "netsh interface tcp set global timestamps=enabled";
    ShExecInfo.lpParameters = cmd1.c_str();
    ShExecInfo.nShow = SW_HIDE;
    if (!ShellExecuteExA(&ShExecInfo)) {
        printf("Exec failed: %d\n", static_cast<int>(GetLastError()));
        return 1;
    }

    // Same record on purpose: only the parameters change for the second launch.
    const std::string cmd2 = "netsh interface tcp show global";
    ShExecInfo.lpParameters = cmd2.c_str();
    if (!ShellExecuteExA(&ShExecInfo)) {
        printf("Exec failed: %d\n", static_cast<int>(GetLastError()));
        return 1;
    }

    // Neither elevated launch is awaited, so this may still show the value from before.
    // NOLINTNEXTLINE(cert-env33-c): handing this line to the command interpreter is the point.
    system("powershell netsh interface tcp show global | findstr \"RFC 1323\"");
    return 0;
}
