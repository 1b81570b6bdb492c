// Output files on POSIX systems: links followed with readlink, the kind of
// node read with stat, temporary names from mkstemp.
#include "os/outfile.h"

#include "os/outfile_sys.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder part of a path, with its trailing slash ("" for none).
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A new file's permissions: what the umask leaves of rw-rw-rw-, as fopen would.
void chmod_as_new(const char* path) {
    const mode_t mask = umask(0);
    umask(mask);
    chmod(path, 0666 & ~mask);
}

} // namespace

bool outfile_target(const char* path, OutTarget* target, std::string* error) {
    struct stat st;
    if (stat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            // Opened by its own name, so the kernel follows even the links
            // under /proc (/dev/stdout) that name no real file.
            *target = {path, true};
            return true;
        }
        char real[PATH_MAX];
        if (!realpath(path, real)) {
            *error = strerror(errno);
            return false;
        }
        *target = {real, false};
        return true;
    }
    // Nothing there yet, or a link to a file still to be made: follow the
    // links by hand to the name the new file gets.
    std::string p = path;
    for (int hops = 0; hops < 40; hops++) { // the kernel's own limit on links
        char link[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) {
            *target = {p, false}; // not a link: the open says why if it cannot be made
            return true;
        }
        link[n] = 0;
        p = link[0] == '/' ? std::string(link) : folder_of(p) + link;
    }
    *error = strerror(ELOOP);
    return false;
}

void outfile_sys_stdout_binary() {}

FILE* outfile_sys_temp(char* name_template, std::string* error) {
    const int fd = mkstemp(name_template);
    if (fd >= 0) chmod_as_new(name_template); // mkstemp makes the file private
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        *error = strerror(errno);
        if (fd >= 0) {
            close(fd);
            unlink(name_template);
        }
    }
    return file;
}

FILE* outfile_scratch(const char* suffix, std::string* path, std::string* error) {
    const char* dir = getenv("TMPDIR");
    *path = std::string(dir && *dir ? dir : "/tmp") + "/vlorp-XXXXXX" + suffix;
    const int fd = mkstemps(path->data(), int(strlen(suffix)));
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        *error = *path + ": " + strerror(errno);
        if (fd >= 0) {
            close(fd);
            unlink(path->c_str());
        }
    }
    return file;
}
