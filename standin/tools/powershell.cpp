// Stand-in powershell: runs the native command it is given (netsh, for this program) and waits for
// it. Each start is journalled with how it was started, so the tests can tell the elevated
// launches from the display command line.

#include "../journal.h"
#include "self_path.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#include <tlhelp32.h>
#else
#include <cerrno>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string parentName()
{
#ifdef _WIN32
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return {};
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
        }
    }
    std::string name;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == parent) {
            name = entry.szExeFile;
        }
    }
    CloseHandle(snapshot);
    return name;
#else
    std::ifstream comm("/proc/" + std::to_string(getppid()) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
#endif
}

int run(char** command)
{
#ifdef _WIN32
    const intptr_t status = _spawnvp(_P_WAIT, command[0], command);
    if (status < 0) {
        return -1;
    }
    return static_cast<int>(status);
#else
    pid_t child = 0;
    if (posix_spawnp(&child, command[0], nullptr, nullptr, command, environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
#endif
}

} // namespace

int main(int argc, char** argv)
{
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    const char* elevated = std::getenv("STANDIN_ELEVATED");
    standin::journal({
        {"event", standin::jsonText("powershell")},
        {"commandLine", standin::jsonText(commandLine.c_str())},
        {"image", standin::jsonText(selfPath().c_str())},
        {"parent", standin::jsonText(parentName().c_str())},
        {"elevated", standin::jsonBool(elevated != nullptr && *elevated != '\0')},
    });
    if (argc < 2) {
        std::fputs("powershell (stand-in): no command given\n", stderr);
        return 1;
    }
    const int status = run(argv + 1);
    if (status < 0) {
        std::fprintf(stderr,
                     "%s : The term '%s' is not recognized as the name of a cmdlet, function, script file, "
                     "or operable program.\n",
                     argv[1], argv[1]);
        return 1;
    }
    return status;
}
