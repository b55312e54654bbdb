// Linux stand-in for the Windows calls that enable-tcp-timestamps makes. See README.md here.

#include <windows.h>
#include <shellapi.h>

#include "journal.h"
#include "words.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_NO_ASSOCIATION = 1155;
constexpr DWORD ERROR_CANCELLED = 1223;

// What the shell leaves in hInstApp: above 32 on success, an SE_ERR_ code at or below it on failure.
constexpr std::uintptr_t SE_ERR_FNF = 2;
constexpr std::uintptr_t SE_ERR_ACCESSDENIED = 5;
constexpr std::uintptr_t FIRST_SUCCESS_INSTANCE = 33;

thread_local DWORD lastError = 0;
std::atomic<unsigned> launchCalls{0};

std::uintptr_t asNumber(const void* pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

std::string currentDirectory()
{
    std::vector<char> buffer(4096);
    return getcwd(buffer.data(), buffer.size()) != nullptr ? std::string(buffer.data()) : std::string();
}

bool isExecutableFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// As the shell does: a bare name is looked for in the current folder first, then along PATH.
std::string findProgram(const std::string& file)
{
    if (file.empty()) {
        return {};
    }
    if (file.find('/') != std::string::npos) {
        return isExecutableFile(file) ? file : std::string();
    }
    if (isExecutableFile(file)) {
        return currentDirectory() + "/" + file;
    }
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (true) {
        const auto colon = rest.find(':');
        std::string dir = rest.substr(0, colon);
        if (dir.empty()) {
            dir = ".";
        }
        std::string candidate = dir;
        candidate += "/";
        candidate += file;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
        if (colon == std::string::npos) {
            return {};
        }
        rest.erase(0, colon + 1);
    }
}

// The answer for the given call from STANDIN_CONSENT: a comma-separated list, one entry a call,
// each "yes", "no" or an error code for the call to fail with. 0 means the launch goes ahead.
DWORD scriptedAnswer(const char* script, unsigned call)
{
    std::string rest = script;
    for (unsigned i = 0; i < call; ++i) {
        const auto comma = rest.find(',');
        if (comma == std::string::npos) {
            return 0; // past the list: yes
        }
        rest.erase(0, comma + 1);
    }
    const std::string entry = rest.substr(0, rest.find(','));
    if (entry.empty() || entry == "yes" || entry == "y") {
        return 0;
    }
    if (entry == "no" || entry == "n") {
        return ERROR_CANCELLED;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long code = std::strtoul(entry.c_str(), &end, 0);
    if (errno == 0 && end != nullptr && *end == '\0' && code <= 0xFFFFFFFFUL) {
        return static_cast<DWORD>(code);
    }
    std::fprintf(stderr, "stand-in shell: STANDIN_CONSENT entry \"%s\" is not yes, no or a code; taken as no\n",
                 entry.c_str());
    return ERROR_CANCELLED;
}

// The consent prompt, on the terminal. Anything but yes declines, as closing the dialog does.
DWORD askOnTerminal(const std::string& program, const char* parameters)
{
    std::FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr) {
        return 0;
    }
    std::fprintf(tty,
                 "\nUser Account Control (stand-in)\nDo you want to allow this app to make changes to your device?\n"
                 "  %s %s\n[y/N] ",
                 program.c_str(), parameters != nullptr ? parameters : "");
    std::fflush(tty);
    char answer[16] = {};
    const bool yes = std::fgets(answer, sizeof answer, tty) != nullptr && (answer[0] == 'y' || answer[0] == 'Y');
    std::fclose(tty);
    return yes ? 0 : ERROR_CANCELLED;
}

DWORD consent(const std::string& program, const char* parameters, unsigned call)
{
    const char* script = std::getenv("STANDIN_CONSENT");
    if (script != nullptr) {
        return scriptedAnswer(script, call);
    }
    if (isatty(STDIN_FILENO) != 0) {
        return askOnTerminal(program, parameters);
    }
    return 0;
}

// Starts the program without waiting for it: the grandchild of a child that ends at once, so
// nothing is left for this process to reap. A hidden window means its output goes nowhere.
bool startDetached(const std::string& path, const std::vector<std::string>& args, const char* directory, bool elevated)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        setsid();
        if (fork() != 0) {
            _exit(0);
        }
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (directory != nullptr && chdir(directory) != 0) {
            _exit(127);
        }
        if (elevated) {
            setenv("STANDIN_ELEVATED", "1", 1);
        }
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

} // namespace

DWORD WINAPI GetLastError()
{
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    lastError = code;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    const char* dir = std::getenv("STANDIN_SYSTEM_DIR");
    if (dir == nullptr || *dir == '\0') {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(dir);
    if (buffer == nullptr || length >= size) {
        return static_cast<UINT>(length + 1); // the size needed, terminator included
    }
    std::memcpy(buffer, dir, length + 1);
    return static_cast<UINT>(length);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path)
{
    if (path != nullptr && chdir(path) == 0) {
        return TRUE;
    }
    const int error = path != nullptr ? errno : ENOENT;
    SetLastError(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                 : error == EACCES                   ? ERROR_ACCESS_DENIED
                                                     : ERROR_GEN_FAILURE);
    return FALSE;
}

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* info)
{
    const unsigned call = launchCalls++;
    const SHELLEXECUTEINFOA received = *info;

    const std::string verb = received.lpVerb != nullptr ? received.lpVerb : "";
    const std::string file = received.lpFile != nullptr ? received.lpFile : "";
    const std::string program = findProgram(file);
    DWORD error = 0;
    if (verb != "runas" && verb != "open" && !verb.empty()) {
        error = ERROR_NO_ASSOCIATION;
    } else if (program.empty()) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (verb == "runas") {
        error = consent(program, received.lpParameters, call);
    }
    if (error == 0) {
        std::vector<std::string> args{file};
        // Quoting is not needed by anything this stand-in starts.
        const auto words = splitWords(received.lpParameters, " \t");
        args.insert(args.end(), words.begin(), words.end());
        if (!startDetached(program, args, received.lpDirectory, verb == "runas")) {
            error = ERROR_GEN_FAILURE;
        }
    }

    // NOLINTNEXTLINE(performance-no-int-to-ptr): a small number in a handle, as the platform does.
    info->hInstApp = reinterpret_cast<HINSTANCE>(error == 0                      ? FIRST_SUCCESS_INSTANCE + call
                                                 : error == ERROR_FILE_NOT_FOUND ? SE_ERR_FNF
                                                                                 : SE_ERR_ACCESSDENIED);

    using standin::jsonNumber;
    using standin::jsonText;
    standin::journal({
        {"event", jsonText("ShellExecuteExA")},
        {"call", jsonNumber(call)},
        {"cbSize", jsonNumber(received.cbSize)},
        {"fMask", jsonNumber(received.fMask)},
        {"hwnd", jsonNumber(asNumber(received.hwnd))},
        {"lpVerb", jsonText(received.lpVerb)},
        {"lpFile", jsonText(received.lpFile)},
        {"lpParameters", jsonText(received.lpParameters)},
        {"lpDirectory", jsonText(received.lpDirectory)},
        {"nShow", std::to_string(received.nShow)},
        {"hInstApp", jsonNumber(asNumber(received.hInstApp))},
        {"lpIDList", jsonNumber(asNumber(received.lpIDList))},
        {"lpClass", jsonNumber(asNumber(received.lpClass))},
        {"hkeyClass", jsonNumber(asNumber(received.hkeyClass))},
        {"dwHotKey", jsonNumber(received.dwHotKey)},
        {"hIcon", jsonNumber(asNumber(received.hIcon))},
        {"hProcess", jsonNumber(asNumber(received.hProcess))},
        {"cwd", jsonText(currentDirectory().c_str())},
        {"program", jsonText(program.empty() ? nullptr : program.c_str())},
        {"result", jsonNumber(error == 0 ? 1 : 0)},
        {"error", jsonNumber(error)},
        {"hInstAppAfter", jsonNumber(asNumber(info->hInstApp))},
    });

    // Last, so that nothing above can change the thread's error code.
    SetLastError(error);
    return error == 0 ? TRUE : FALSE;
}
