// A module source over a whole file read into memory, for the command-line
// tools: the same stream callbacks as the host's memory source.
#pragma once
#include "music/memsrc.h"
#include <string>

// Reads `path` whole ("-": standard input), once: pipes and /dev/stdin
// work too. On failure returns false and says why in `error`.
bool filesrc_read_file(const char* path, std::string& bytes, std::string& error);
// Registers a memory source over `bytes` (kept by the caller while songs
// load): every stream open reads them from the start.
void filesrc_register(const std::string& bytes);
