#include "tools/filesrc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

struct FileSource {
    MemorySource memory; // first, so the memory source's callbacks serve it
    uint8_t* bytes;
};

bool filesrc_read_file(const char* path, std::string& bytes, std::string& error) {
    struct stat st;
    if (stat(path, &st) != 0) {
        error = strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a directory";
        return false;
    }
    FILE* f = fopen(path, "rb");
    if (!f) {
        error = strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.append(buffer, n);
        if (bytes.size() > size_t(INT32_MAX)) {
            fclose(f);
            error = "file too large";
            return false;
        }
    }
    bool failed = ferror(f);
    fclose(f);
    if (failed) {
        error = "read error";
        return false;
    }
    return true;
}

static StreamHandle filesrc_open(const char* name) {
    std::string bytes, error;
    if (!filesrc_read_file(name, bytes, error)) return nullptr;
    FileSource* src = static_cast<FileSource*>(calloc(1, sizeof(FileSource)));
    src->bytes = static_cast<uint8_t*>(malloc(bytes.size() + 1));
    memcpy(src->bytes, bytes.data(), bytes.size());
    src->memory = {int32_t(bytes.size()), 0, src->bytes};
    return src;
}

static void filesrc_close(StreamHandle handle) {
    FileSource* src = static_cast<FileSource*>(handle);
    free(src->bytes);
    free(src);
}

void filesrc_register() {
    stream_set_callbacks(filesrc_open, filesrc_close, memsrc_read, memsrc_seek, memsrc_tell);
}
