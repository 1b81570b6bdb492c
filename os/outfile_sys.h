// What each platform's output-file code supplies to the shared steps.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Standard output takes bytes as they are (no line-end translation).
void outfile_sys_stdout_binary();
// Makes and opens a new file for writing from `name_template` (XXXXXX then
// `suffix_length` more characters; the XXXXXX replaced in place), with the
// permissions a new file gets. Null with the reason, and nothing left behind.
FILE* outfile_sys_temp(char* name_template, size_t suffix_length, std::string* error);

// What identifies a file for outfile_same_file.
struct OutIdentity {
    bool known;       // false: cannot tell (compares unequal)
    bool device_node; // a device: never the same as anything
    uint64_t volume, index;
    std::string new_name; // for a file not yet there: its name in that folder
};
// The identity of `path`, or of the open descriptor `fd` when it is 0 or above.
void outfile_sys_identity(const char* path, int fd, OutIdentity* id);
// Gives the finished temporary file the mode, owner and group of the file
// it replaces (as far as this process may set them).
void outfile_sys_keep_attributes(const char* temp, const char* target);
// Copies the finished file `from` into the existing file `to`, making room
// first so that a full disk or a size limit leaves `to` as it was. False
// with the reason.
bool outfile_sys_copy_into(const char* from, const char* to, std::string* error);
