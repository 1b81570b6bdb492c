#include "host/image_io.h"

#include "os/os.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string partial_path(const std::string& path) {
    const size_t slash = path.find_last_of(OS_PATH_SEPARATORS);
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : base.substr(dot);
    return dir + "." + base + ".partial" + ext;
}

bool image_io_open(OutFile* out, const char* path, std::string* error) {
    if (outfile_open(out, path, error)) return true;
    *error = std::string(path) + ": " + *error;
    return false;
}

bool image_io_commit(OutFile* out, const char* path, bool ok, std::string* error) {
    if (!ok) {
        outfile_discard(out);
        return false;
    }
    if (outfile_commit(out, error)) return true;
    *error = std::string(path) + ": " + *error;
    return false;
}
