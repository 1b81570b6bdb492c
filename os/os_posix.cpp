#include "os/os.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {
struct {
    bool raw;
    termios saved;
} os;
} // namespace

const char* const OS_PATH_SEPARATORS = "/";

const char* const OS_FFMPEG_HINT = "install it (apt-get install ffmpeg)";

bool os_replace_file(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void os_binary_stdin() {}

bool os_is_terminal(int fd) {
    return isatty(fd) != 0;
}

void os_keys_begin() {
    if (!isatty(0) || tcgetattr(0, &os.saved) != 0) return;
    termios raw = os.saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO); // keys one by one; Ctrl-C still signals
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    os.raw = tcsetattr(0, TCSANOW, &raw) == 0;
}

void os_keys_end() {
    if (os.raw) tcsetattr(0, TCSANOW, &os.saved);
    os.raw = false;
}

bool os_keys_active() {
    return os.raw;
}

bool os_quit_key() {
    if (!os.raw) return false;
    pollfd p{0, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        char c;
        if (read(0, &c, 1) != 1) return false;
        if (c == 'q' || c == 'Q' || c == 27) return true;
    }
    return false;
}

bool os_is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool os_make_directory(const char* path) {
    return mkdir(path, 0777) == 0 || errno == EEXIST;
}

bool os_make_temp_directory(char* name_template) {
    return mkdtemp(name_template) != nullptr;
}

bool os_rename_directory(const char* from, const char* to) {
    return rename(from, to) == 0;
}

bool os_remove_directory(const char* path) {
    return rmdir(path) == 0;
}

std::string os_find_program(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty entry means the current folder.
        const std::string dir = end > start ? dirs.substr(start, end - start) : std::string(".");
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

bool os_spawn_with_input(OsChild* child, const std::vector<std::string>& args, std::string* error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = strerror(errno);
        return false;
    }
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        *error = "cannot start " + args[0] + ": " + strerror(rc);
        return false;
    }
    child->handle = pid;
    child->input = fdopen(fds[1], "wb");
    return true;
}

bool os_child_finish(OsChild* child) {
    if (child->input) fclose(child->input);
    child->input = nullptr;
    if (!child->handle) return false;
    int status = 0;
    while (waitpid(pid_t(child->handle), &status, 0) < 0 && errno == EINTR) {
    }
    child->handle = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void os_ignore_broken_pipe() {
    signal(SIGPIPE, SIG_IGN);
}

void os_ignore_file_size_limit() {
    signal(SIGXFSZ, SIG_IGN);
}
