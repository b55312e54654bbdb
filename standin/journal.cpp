#include "journal.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace standin {

std::string jsonText(const char* text)
{
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(std::uint64_t value)
{
    return std::to_string(value);
}

std::string jsonBool(bool value)
{
    return value ? "true" : "false";
}

std::string jsonList(const std::vector<std::string>& texts)
{
    std::string out = "[";
    for (const auto& text : texts) {
        out += (out.size() > 1 ? ", " : "") + jsonText(text.c_str());
    }
    return out + "]";
}

void journal(const std::vector<std::pair<std::string, std::string>>& fields)
{
    const char* path = std::getenv("STANDIN_JOURNAL");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::string line = "{";
    for (const auto& [name, value] : fields) {
        if (line.size() > 1) {
            line += ", ";
        }
        line += jsonText(name.c_str()) + ": " + value;
    }
    line += "}\n";

#ifdef _WIN32
    // Append-only access makes each write land whole at the end, as O_APPEND does.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
#else
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const ssize_t written = write(fd, line.data(), line.size());
    static_cast<void>(written);
    close(fd);
#endif
}

} // namespace standin
