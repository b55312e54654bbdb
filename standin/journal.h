// The stand-in's journal: one JSON object a line, appended to the file named by STANDIN_JOURNAL.
// The tests read it to see what the program asked of the platform and what was started.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// A field's value, already in JSON form.
std::string jsonText(const char* text); // null pointer -> null
std::string jsonNumber(std::uint64_t value);
std::string jsonBool(bool value);
std::string jsonList(const std::vector<std::string>& texts);

// Appends the fields as one line in a single write, so that processes running at the same time
// never interleave within a line. Does nothing when STANDIN_JOURNAL is unset.
void journal(const std::vector<std::pair<std::string, std::string>>& fields);

} // namespace standin
