#include "tools/os.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {
struct {
    HANDLE input;
    DWORD saved_mode;
    bool console;
} os;
} // namespace

bool os_replace_file(const char* from, const char* to) {
    // rename() on Windows refuses an existing target.
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
    }
    return false;
}

void os_binary_stdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}

bool os_is_terminal(int fd) {
    return _isatty(fd) != 0;
}

void os_keys_begin() {
    os.input = GetStdHandle(STD_INPUT_HANDLE);
    os.console = os.input != INVALID_HANDLE_VALUE && GetConsoleMode(os.input, &os.saved_mode);
    if (os.console) SetConsoleMode(os.input, os.saved_mode & ~DWORD(ENABLE_ECHO_INPUT));
}

void os_keys_end() {
    if (os.console) SetConsoleMode(os.input, os.saved_mode);
    os.console = false;
}

bool os_keys_active() {
    return os.console;
}

bool os_quit_key() {
    if (!os.console) return false;
    DWORD pending = 0;
    while (GetNumberOfConsoleInputEvents(os.input, &pending) && pending > 0) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(os.input, &record, 1, &read) || read == 0) return false;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        const char c = record.Event.KeyEvent.uChar.AsciiChar;
        if (c == 'q' || c == 'Q' || record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) return true;
    }
    return false;
}

void os_silence_stderr(bool) {} // waveOut says nothing while it opens
