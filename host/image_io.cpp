#include "host/image_io.h"

#include "os/os.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
