// The few operating-system services the command-line programs need that
// differ between POSIX and Windows: one implementation file per platform
// (os_posix.cpp, os_win32.cpp).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The characters that end a folder name in a path ("/"; on Windows also
// backslash and the drive's colon).
extern const char* const OS_PATH_SEPARATORS;

// Puts `from` in the place of `to`, replacing a file already there. False
// with errno set on failure (`from` is left for the caller to remove).
bool os_replace_file(const char* from, const char* to);
// Standard input gives bytes as they are (no line-end translation).
void os_binary_stdin();
// Whether file descriptor `fd` is a terminal or console.
bool os_is_terminal(int fd);

// Single keys from the terminal, unechoed, while playing. keys_begin does
// nothing when standard input is not a terminal; keys_end undoes it.
void os_keys_begin();
void os_keys_end();
// Whether keys are being read (false when standard input is no terminal).
bool os_keys_active();
// True if q or Escape was pressed since the last call.
bool os_quit_key();

// ---- files and child processes (stills and capture) ----
bool os_is_directory(const char* path);
// Creates the directory; true if it exists afterwards (errno set otherwise).
bool os_make_directory(const char* path);
// Makes a new, empty directory from `name_template` (ending in XXXXXX,
// replaced in place). False with errno set.
bool os_make_temp_directory(char* name_template);
// Renames a directory to a name not yet taken. False with errno set.
bool os_rename_directory(const char* from, const char* to);
// Removes an empty directory. False with errno set.
bool os_remove_directory(const char* path);
// The full path of program `name` found on PATH, or "".
std::string os_find_program(const char* name);

// How to get ffmpeg onto this system, for the one-line message when it is missing.
extern const char* const OS_FFMPEG_HINT;

// A child process whose standard input is a pipe the parent writes.
struct OsChild {
    intptr_t handle; // process id or handle; 0 when none
    FILE* input;     // the pipe to the child's standard input, binary
};
// Starts argv[0] (a full path) with `argv`. False with a reason otherwise.
bool os_spawn_with_input(OsChild* child, const std::vector<std::string>& argv, std::string* error);
// Closes the pipe and waits; true if the child exited with status 0.
bool os_child_finish(OsChild* child);
// Writing to a pipe whose reader has gone is an error, not death by signal.
void os_ignore_broken_pipe();
// So is writing past a file-size limit (ulimit -f): the write fails instead.
void os_ignore_file_size_limit();
