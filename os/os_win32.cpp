#include "os/os.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>

namespace {
struct {
    HANDLE input;
    DWORD saved_mode;
    bool console;
} os;
} // namespace

const char* const OS_PATH_SEPARATORS = "/\\:";

const char* const OS_FFMPEG_HINT = "put ffmpeg.exe on the PATH";

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

void os_binary_stdin() {
    _setmode(_fileno(stdin), _O_BINARY);
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

bool os_is_directory(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool os_make_directory(const char* path) {
    if (CreateDirectoryA(path, nullptr) || os_is_directory(path)) return true;
    errno = GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return false;
}

bool os_make_temp_directory(char* name_template) {
    const size_t n = strlen(name_template);
    if (n < 6) {
        errno = EINVAL;
        return false;
    }
    // A name no other folder has: creating fails on a clash.
    for (uint32_t attempt = 0; attempt < 1000; attempt++) {
        snprintf(name_template + n - 6, 7, "%06u",
                 unsigned((GetCurrentProcessId() * 7919u + GetTickCount() + attempt) % 1000000u));
        if (CreateDirectoryA(name_template, nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    errno = GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return false;
}

bool os_rename_directory(const char* from, const char* to) {
    if (MoveFileA(from, to)) return true;
    errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
    return false;
}

bool os_remove_directory(const char* path) {
    if (RemoveDirectoryA(path)) return true;
    errno = EACCES;
    return false;
}

std::string os_find_program(const char* name) {
    char found[MAX_PATH];
    const DWORD n = SearchPathA(nullptr, name, ".exe", sizeof found, found, nullptr);
    return n > 0 && n < sizeof found ? std::string(found, n) : "";
}

// One argument as the C runtime's command-line parser reads it back.
static void append_quoted(std::string* line, const std::string& arg) {
    if (!line->empty()) *line += ' ';
    *line += '"';
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        line->append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        *line += c;
    }
    line->append(2 * backslashes, '\\');
    *line += '"';
}

bool os_spawn_with_input(OsChild* child, const std::vector<std::string>& args, std::string* error) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 1 << 20)) {
        *error = "cannot create a pipe";
        return false;
    }
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    std::string line;
    for (const auto& arg : args) append_quoted(&line, arg);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    const BOOL started = CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    CloseHandle(read_end);
    if (!started) {
        CloseHandle(write_end);
        *error = "cannot start " + args[0];
        return false;
    }
    CloseHandle(process.hThread);
    child->handle = reinterpret_cast<intptr_t>(process.hProcess);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_WRONLY | _O_BINARY);
    child->input = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    return true;
}

bool os_child_finish(OsChild* child) {
    if (child->input) fclose(child->input);
    child->input = nullptr;
    if (!child->handle) return false;
    const HANDLE process = reinterpret_cast<HANDLE>(child->handle);
    WaitForSingleObject(process, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    child->handle = 0;
    return status == 0;
}

void os_ignore_broken_pipe() {} // a closed pipe already fails the write

void os_ignore_file_size_limit() {} // no such limit or signal
