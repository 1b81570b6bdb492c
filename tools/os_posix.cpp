#include "tools/os.h"

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
struct {
    bool raw;
    termios saved;
    int saved_stderr = -1;
} os;
} // namespace

bool os_replace_file(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void os_binary_stdout() {}

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

void os_silence_stderr(bool silent) {
    if (silent && os.saved_stderr < 0) {
        os.saved_stderr = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        if (os.saved_stderr >= 0 && null >= 0) dup2(null, 2);
        if (null >= 0) close(null);
    } else if (!silent && os.saved_stderr >= 0) {
        dup2(os.saved_stderr, 2);
        close(os.saved_stderr);
        os.saved_stderr = -1;
    }
}
