// How a stand-in tool was started, journalled so that the tests can check a command line word for
// word: the arguments it got, the shell command line that started it, and where its standard
// input and output lead (a pipe between two tools shows as the same identity on both ends).
#pragma once

#include <string>
#include <utility>
#include <vector>

// Appends one journal line for this start, with the given extra fields (already in JSON form).
void journalStart(const char* tool, int argc, char** argv,
                  const std::vector<std::pair<std::string, std::string>>& extra = {});
