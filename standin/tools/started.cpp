#include "started.h"

#include "../journal.h"
#include "self_path.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>
#include <tlhelp32.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

struct Parent {
#ifdef _WIN32
    DWORD id = 0;
#else
    pid_t id = 0;
#endif
    std::string name; // of its executable; empty if it can't be told
};

#ifdef _WIN32

// From one snapshot of the process list.
Parent parentProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return {};
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    Parent parent;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent.id = entry.th32ParentProcessID;
        }
    }
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (parent.id != 0 && entry.th32ProcessID == parent.id) {
            parent.name = entry.szExeFile;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

std::string narrow(const std::wstring& text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// Windows keeps no record of a parent's command line for its children: read it from the parent's
// process parameters, as a debugger would.
std::string parentCommandLine(DWORD parentId)
{
    HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parentId);
    if (parent == nullptr) {
        return "null";
    }
    std::string result = "null";
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    if (NtQueryInformationProcess(parent, ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0 &&
        ReadProcessMemory(parent, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ReadProcessMemory(parent, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) {
        std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
        if (ReadProcessMemory(parent, parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length,
                              nullptr)) {
            result = standin::jsonText(narrow(line).c_str());
        }
    }
    CloseHandle(parent);
    return result;
}

// fd 0 or 1, as on Linux.
std::string streamIdentity(int fd)
{
    HANDLE stream = GetStdHandle(fd == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    switch (GetFileType(stream)) {
    case FILE_TYPE_DISK: {
        char path[MAX_PATH] = {};
        const DWORD length = GetFinalPathNameByHandleA(stream, path, MAX_PATH, 0);
        return length > 0 && length < MAX_PATH ? "file:" + std::string(path) : "file";
    }
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_CHAR:
        return "console";
    default:
        return "none";
    }
}

#else

Parent parentProcess()
{
    Parent parent{getppid(), {}};
    std::ifstream comm("/proc/" + std::to_string(parent.id) + "/comm");
    std::getline(comm, parent.name);
    return parent;
}

// The shell's words exactly as it was started, e.g. ["sh", "-c", "the line"].
std::string parentCommandLine(pid_t parentId)
{
    std::ifstream file("/proc/" + std::to_string(parentId) + "/cmdline", std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<std::string> words;
    std::istringstream in(all);
    for (std::string word; std::getline(in, word, '\0');) {
        words.push_back(word);
    }
    return file ? standin::jsonList(words) : "null";
}

// "pipe:[inode]" for a pipe, else the file it leads to.
std::string streamIdentity(int fd)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "none";
}

#endif

} // namespace

void journalStart(const char* tool, int argc, char** argv,
                  const std::vector<std::pair<std::string, std::string>>& extra)
{
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        arguments += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    const char* elevated = std::getenv("STANDIN_ELEVATED");
    const Parent parent = parentProcess();
    std::vector<std::pair<std::string, std::string>> fields{
        {"event", standin::jsonText(tool)},
        {"argv", standin::jsonList(std::vector<std::string>(argv, argv + argc))},
        {"commandLine", standin::jsonText(arguments.c_str())},
        {"image", standin::jsonText(selfPath().c_str())},
        {"parent", standin::jsonText(parent.name.c_str())},
        {"parentCommandLine", parentCommandLine(parent.id)},
        {"stdin", standin::jsonText(streamIdentity(0).c_str())},
        {"stdout", standin::jsonText(streamIdentity(1).c_str())},
        {"elevated", standin::jsonBool(elevated != nullptr && *elevated != '\0')},
    };
    fields.insert(fields.end(), extra.begin(), extra.end());
    standin::journal(fields);
}
