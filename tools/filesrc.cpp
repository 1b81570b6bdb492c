#include "tools/filesrc.h"

#include "os/os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

bool filesrc_read_file(const char* path, std::string& bytes, std::string& error) {
    const bool standard_input = !strcmp(path, "-");
    FILE* f = stdin;
    if (standard_input) {
        os_binary_stdin();
    } else {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            error = "is a directory";
            return false;
        }
        f = fopen(path, "rb");
    }
    if (!f) {
        error = strerror(errno);
        return false;
    }
    bytes.clear();
    // Room for a whole regular file at once: growing by doubling would copy
    // it (and fault in fresh pages) several times over.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size <= INT32_MAX)
        bytes.reserve(size_t(st.st_size) + 1);
    char buffer[65536];
    size_t n;
    errno = 0;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.append(buffer, n);
        if (bytes.size() > size_t(INT32_MAX)) {
            if (!standard_input) fclose(f);
            error = "file too large";
            return false;
        }
    }
    const bool failed = ferror(f);
    if (failed) error = errno ? strerror(errno) : "read error";
    if (!standard_input) fclose(f);
    return !failed;
}
