// Output files: the open, commit and discard steps both platforms share.
// Each platform's file supplies how a path is looked up and how a temporary
// file is made (outfile_sys.h); the finished file replaces the old one
// through os_replace_file.
#include "os/outfile.h"

#include "os/os.h"
#include "os/outfile_sys.h"

#include <cerrno>
#include <cstring>

std::string outfile_temp_name(const std::string& path, size_t* suffix_length) {
    const size_t slash = path.find_last_of(OS_PATH_SEPARATORS);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    // A leading dot starts a hidden name, not an extension.
    const bool keep = suffix_length && dot != std::string::npos && dot > start;
    const size_t ext = keep ? dot : path.size();
    if (suffix_length) *suffix_length = path.size() - ext;
    return path.substr(0, start) + "." + path.substr(start, ext - start) + ".partXXXXXX" +
           path.substr(ext);
}

bool outfile_temp_file(const std::string& path, std::string* temp, std::string* error) {
    size_t suffix_length;
    *temp = outfile_temp_name(path, &suffix_length);
    FILE* file = outfile_sys_temp(temp->data(), suffix_length, error);
    if (file) fclose(file);
    return file != nullptr;
}

bool outfile_open(OutFile* f, const char* path, std::string* error) {
    f->file = nullptr;
    f->temp.clear();
    f->is_stdout = !strcmp(path, "-");
    if (f->is_stdout) {
        f->target = {"-", true, false};
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
    size_t suffix_length;
    f->temp = outfile_temp_name(f->target.path, &suffix_length);
    f->file = outfile_sys_temp(f->temp.data(), suffix_length, error);
    // A file copied into at the end may sit in a folder this process cannot
    // write: then the work is done in the system's temporary folder.
    if (!f->file && f->target.copy_into) f->file = outfile_scratch(".part", &f->temp, error);
    return f->file != nullptr;
}

bool outfile_same_file(const char* a, bool a_is_input, const char* b, bool b_is_input) {
    OutIdentity ids[2];
    const char* paths[2] = {a, b};
    const bool inputs[2] = {a_is_input, b_is_input};
    for (int i = 0; i < 2; i++) {
        const bool standard = !strcmp(paths[i], "-");
        outfile_sys_identity(paths[i], standard ? (inputs[i] ? 0 : 1) : -1, &ids[i]);
    }
    // Two outputs to standard output are one stream whatever it is.
    if (!a_is_input && !b_is_input && !strcmp(a, "-") && !strcmp(b, "-")) return true;
    if (!ids[0].known || !ids[1].known || ids[0].device_node || ids[1].device_node) return false;
    return ids[0].volume == ids[1].volume && ids[0].index == ids[1].index &&
           ids[0].new_name == ids[1].new_name;
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
    if (ok && f->target.copy_into) {
        ok = outfile_sys_copy_into(f->temp.c_str(), f->target.path.c_str(), error);
        remove(f->temp.c_str());
        return ok;
    }
    if (ok) outfile_sys_keep_attributes(f->temp.c_str(), f->target.path.c_str());
    if (ok && !os_replace_file(f->temp.c_str(), f->target.path.c_str())) {
        ok = false;
        *error = strerror(errno);
    }
    if (!ok) remove(f->temp.c_str());
    return ok;
}
