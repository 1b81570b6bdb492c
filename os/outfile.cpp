// Output files: the open, commit and discard steps both platforms share.
// Each platform's file supplies how a path is looked up and how a temporary
// file is made (outfile_sys.h); the finished file replaces the old one
// through os_replace_file.
#include "os/outfile.h"

#include "os/os.h"
#include "os/outfile_sys.h"

#include <cerrno>
#include <cstring>

bool outfile_open(OutFile* f, const char* path, std::string* error) {
    f->file = nullptr;
    f->temp.clear();
    f->is_stdout = !strcmp(path, "-");
    if (f->is_stdout) {
        f->target = {"-", true};
        outfile_sys_stdout_binary();
        f->file = stdout;
        return true;
    }
    if (!outfile_target(path, &f->target, error)) return false;
    if (f->target.direct) {
        f->file = fopen(f->target.path.c_str(), "wb");
        if (!f->file) *error = strerror(errno);
        return f->file != nullptr;
    }
    f->temp = f->target.path + ".partXXXXXX";
    f->file = outfile_sys_temp(f->temp.data(), error);
    return f->file != nullptr;
}

void outfile_discard(OutFile* f) {
    if (!f->file || f->is_stdout) return;
    fclose(f->file);
    f->file = nullptr;
    if (!f->target.direct) remove(f->temp.c_str());
}

bool outfile_commit(OutFile* f, std::string* error) {
    if (!f->file) return true;
    if (f->is_stdout) {
        if (fflush(stdout) == 0 && !ferror(stdout)) return true;
        *error = strerror(errno ? errno : EIO);
        return false;
    }
    errno = 0;
    bool ok = fflush(f->file) == 0 && !ferror(f->file);
    if (!ok) *error = strerror(errno ? errno : EIO);
    if (fclose(f->file) != 0 && ok) {
        ok = false;
        *error = strerror(errno);
    }
    f->file = nullptr;
    if (f->target.direct) return ok;
    if (ok && !os_replace_file(f->temp.c_str(), f->target.path.c_str())) {
        ok = false;
        *error = strerror(errno);
    }
    if (!ok) remove(f->temp.c_str());
    return ok;
}
