// Stand-in netsh: only "interface tcp set global timestamps=enabled|disabled" and
// "interface tcp show global". The setting is kept in tcp-global.txt beside this executable,
// that is in the stand-in system folder, so it outlives each run as the real one does.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "self_path.h"

namespace {

std::string stateFile()
{
    const std::string self = selfPath();
    const auto slash = self.find_last_of("/\\");
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/tcp-global.txt";
}

std::string timestamps()
{
    std::ifstream in(stateFile());
    std::string value;
    return std::getline(in, value) && value == "enabled" ? "enabled" : "disabled";
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

int showGlobal()
{
    std::printf("Querying active state...\n"
                "\n"
                "TCP Global Parameters\n"
                "----------------------------------------------\n"
                "Receive-Side Scaling State          : enabled\n"
                "Receive Window Auto-Tuning Level    : normal\n"
                "Add-On Congestion Control Provider  : default\n"
                "ECN Capability                      : disabled\n"
                "RFC 1323 Timestamps                 : %s\n"
                "Initial RTO                         : 1000\n"
                "Receive Segment Coalescing State    : enabled\n"
                "Non Sack Rtt Resiliency             : disabled\n"
                "Max SYN Retransmissions             : 4\n"
                "Fast Open                           : enabled\n"
                "Fast Open Fallback                  : enabled\n"
                "HyStart                             : enabled\n"
                "Proportional Rate Reduction         : enabled\n"
                "Pacing Profile                      : off\n"
                "\n",
                timestamps().c_str());
    return 0;
}

int setTimestamps(const std::string& value)
{
    if (value != "enabled" && value != "disabled") {
        std::printf("The parameter is incorrect.\n\n");
        return 1;
    }
    std::ofstream out(stateFile(), std::ios::trunc);
    out << value << '\n';
    if (!out.flush()) {
        std::printf("Access is denied.\n\n");
        return 1;
    }
    std::printf("Ok.\n\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    std::string all;
    for (int i = 1; i < argc; ++i) {
        args.push_back(lower(argv[i]));
        all += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    const std::string prefix = "timestamps=";
    if (args.size() == 4 && args[0] == "interface" && args[1] == "tcp" && args[2] == "show" && args[3] == "global") {
        return showGlobal();
    }
    if (args.size() == 5 && args[0] == "interface" && args[1] == "tcp" && args[2] == "set" && args[3] == "global" &&
        args[4].compare(0, prefix.size(), prefix) == 0) {
        return setTimestamps(args[4].substr(prefix.size()));
    }
    std::printf("The following command was not found: %s.\n", all.c_str());
    return 1;
}
