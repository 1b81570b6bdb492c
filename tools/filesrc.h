// A module file read whole into memory, for the command-line tools.
#pragma once
#include <string>

// Reads `path` whole ("-": standard input), once: pipes and /dev/stdin
// work too. On failure returns false and says why in `error`.
bool filesrc_read_file(const char* path, std::string& bytes, std::string& error);
