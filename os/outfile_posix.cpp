// Output files on POSIX systems: links followed with readlink, the kind of
// node read with stat, temporary names from mkstemp.
#include "os/outfile.h"

#include "os/outfile_sys.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
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
            *target = {path, true, false};
            return true;
        }
        char real[PATH_MAX];
        if (!realpath(path, real)) {
            *error = strerror(errno);
            return false;
        }
        // Replacing by rename would cut a hard link off from the new bytes,
        // and needs a writable folder: those are written through instead.
        const std::string folder = folder_of(real);
        const bool copy_into =
            st.st_nlink > 1 ||
            (access(folder.empty() ? "." : folder.c_str(), W_OK) != 0 && access(real, W_OK) == 0);
        *target = {real, false, copy_into};
        return true;
    }
    // Nothing there yet, or a link to a file still to be made: follow the
    // links by hand to the name the new file gets.
    std::string p = path;
    for (int hops = 0; hops < 40; hops++) { // the kernel's own limit on links
        char link[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) {
            *target = {p, false, false}; // not a link: the open says why if it cannot be made
            return true;
        }
        link[n] = 0;
        p = link[0] == '/' ? std::string(link) : folder_of(p) + link;
    }
    *error = strerror(ELOOP);
    return false;
}

void outfile_sys_stdout_binary() {}

FILE* outfile_sys_temp(char* name_template, size_t suffix_length, std::string* error) {
    const int fd = mkstemps(name_template, int(suffix_length));
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

void outfile_sys_identity(const char* path, int fd, OutIdentity* id) {
    *id = {false, false, 0, 0, ""};
    struct stat st;
    if (fd >= 0 ? fstat(fd, &st) == 0 : stat(path, &st) == 0) {
        *id = {true, S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode), uint64_t(st.st_dev),
               uint64_t(st.st_ino), ""};
        return;
    }
    // Not there yet: the folder the new file would be made in, and its name.
    OutTarget target;
    std::string error;
    if (!outfile_target(path, &target, &error)) return;
    const std::string folder = folder_of(target.path);
    if (stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return;
    *id = {true, false, uint64_t(st.st_dev), uint64_t(st.st_ino),
           target.path.substr(folder.size())};
}

void outfile_sys_keep_attributes(const char* temp, const char* target) {
    struct stat st;
    if (stat(target, &st) != 0 || !S_ISREG(st.st_mode)) return;
    // The owner only root may give; the group any member may.
    if (chown(temp, st.st_uid, st.st_gid) != 0 && chown(temp, uid_t(-1), st.st_gid) != 0) {
    }
    chmod(temp, st.st_mode & 07777); // after chown, which may clear set-id bits
}

bool outfile_sys_copy_into(const char* from, const char* to, std::string* error) {
    const int in = open(from, O_RDONLY);
    const int out = in < 0 ? -1 : open(to, O_WRONLY);
    struct stat from_st, to_st;
    bool ok = out >= 0 && fstat(in, &from_st) == 0 && fstat(out, &to_st) == 0;
    if (!ok) *error = strerror(errno);
    if (ok && from_st.st_size > to_st.st_size) {
        // Room first: failing here leaves the old bytes as they were.
        const int rc = posix_fallocate(out, 0, from_st.st_size);
        if (rc != 0) {
            ok = false;
            *error = strerror(rc);
            if (ftruncate(out, to_st.st_size) != 0) {
            }
        }
    }
    char buffer[1 << 16];
    for (ssize_t n = 0; ok && (n = read(in, buffer, sizeof buffer)) != 0;) {
        ok = n > 0 && write(out, buffer, size_t(n)) == n;
        if (!ok) *error = strerror(errno ? errno : EIO);
    }
    if (ok && ftruncate(out, from_st.st_size) != 0) {
        ok = false;
        *error = strerror(errno);
    }
    if (out >= 0 && close(out) != 0 && ok) {
        ok = false;
        *error = strerror(errno);
    }
    if (in >= 0) close(in);
    return ok;
}
