// Stand-in findstr: prints the lines of standard input that contain any of the blank-separated
// words of its argument, case-sensitive, as the real one does by default. Exits 1 if none did.
// Its start is journalled with the input it was given, so the tests can see what was piped in.

#include "../journal.h"
#include "../words.h"
#include "started.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    journalStart("findstr", argc, argv, {{"input", standin::jsonText(input.c_str())}});
    if (argc != 2) {
        std::fputs("FINDSTR (stand-in): give exactly one search text; input is read from standard input\n", stderr);
        return 2;
    }
    const std::vector<std::string> words = splitWords(argv[1], " ");

    bool found = false;
    std::istringstream lines(input);
    for (std::string line; std::getline(lines, line);) {
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
