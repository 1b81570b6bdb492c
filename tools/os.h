// The few operating-system services the command-line programs need that
// differ between POSIX and Windows: one implementation file per platform
// (os_posix.cpp, os_win32.cpp).
#pragma once

// Puts `from` in the place of `to`, replacing a file already there. False
// with errno set on failure (`from` is left for the caller to remove).
bool os_replace_file(const char* from, const char* to);
// Standard output carries bytes unchanged (no line-end translation).
void os_binary_stdout();
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

// Keeps what libraries print to stderr while `silent` is true off the
// terminal (audio libraries chatter while probing devices).
void os_silence_stderr(bool silent);
