// Stand-in findstr: prints the lines of standard input that contain any of the blank-separated
// words of its argument, case-sensitive, as the real one does by default. Exits 1 if none did.

#include "../words.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("FINDSTR (stand-in): give exactly one search text; input is read from standard input\n", stderr);
        return 2;
    }
    const std::vector<std::string> words = splitWords(argv[1], " ");

    bool found = false;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        for (const auto& w : words) {
            if (line.find(w) != std::string::npos) {
                std::cout << line << '\n';
                found = true;
                break;
            }
        }
    }
    return found ? 0 : 1;
}
