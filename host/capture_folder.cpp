// The capture's frames and sound as files in a folder, made in a temporary
// folder and put in place when complete.
#include "host/capture.h"

#include "os/os.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

std::string capture_frame_name(int64_t k) {
    char name[32];
    snprintf(name, sizeof name, "frame%06lld.png", (long long)k);
    return name;
}

static std::string without_separator(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && strchr(OS_PATH_SEPARATORS, p.back())) p.pop_back();
    return p;
}

bool folder_begin(FolderCapture* c, const std::string& out, std::string* error) {
    c->target = out;
    c->existed = os_is_directory(out.c_str());
    // Inside a folder that is there: the folder above may be read-only.
    c->work = outfile_temp_name(c->existed ? out + "vlorp" : without_separator(out), nullptr);
    if (!os_make_temp_directory(c->work.data())) {
        *error = out + ": " + strerror(errno);
        return false;
    }
    c->work += '/';
    return true;
}

// An error about a file in the temporary folder, told of the file the user named.
std::string folder_error(const FolderCapture* c, const std::string& error) {
    if (error.compare(0, c->work.size(), c->work) != 0) return error;
    return c->target + error.substr(c->work.size());
}

void folder_discard(FolderCapture* c) {
    for (const std::string& name : c->files) remove((c->work + name).c_str());
    os_remove_directory(without_separator(c->work).c_str());
    c->files.clear();
}

bool folder_commit(FolderCapture* c, std::string* error) {
    const std::string work = without_separator(c->work);
    if (!c->existed && os_rename_directory(work.c_str(), without_separator(c->target).c_str()))
        return true;
    // The folder was there (or has appeared since): the files move in one by one.
    for (const std::string& name : c->files) {
        if (!os_replace_file((c->work + name).c_str(), (c->target + name).c_str())) {
            *error = c->target + name + ": " + strerror(errno);
            folder_discard(c);
            return false;
        }
    }
    os_remove_directory(work.c_str());
    return true;
}
