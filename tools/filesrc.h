// A module source over a whole file read into memory, for the command-line
// tools: the same stream callbacks as the host's memory source.
#pragma once
#include "music/memsrc.h"
#include <string>

// Reads `path` whole. On failure returns false and says why in `error`.
bool filesrc_read_file(const char* path, std::string& bytes, std::string& error);
// Registers the file source; stream opens then read the named file.
void filesrc_register();
// Registers a source over a file already read: every open serves `bytes`,
// which must outlive the streams opened (no second read of the file).
void filesrc_register_bytes(const std::string& bytes);
