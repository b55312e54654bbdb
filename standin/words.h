// Splitting a text into the words between blanks, for the stand-in shell and tools.
#pragma once

#include <cstring>
#include <string>
#include <vector>

// The words of text (null: none) between any of the characters in blanks; no quoting.
inline std::vector<std::string> splitWords(const char* text, const char* blanks)
{
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text != nullptr ? text : "";; ++p) {
        if (*p == '\0' || std::strchr(blanks, *p) != nullptr) {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (*p == '\0') {
                return words;
            }
        } else {
            word += *p;
        }
    }
}
