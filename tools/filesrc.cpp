#include "tools/filesrc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

struct FileSource {
    MemorySource memory; // first, so the memory source's callbacks serve it
    std::string bytes;
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
    // Room for the whole file at once: growing by doubling would copy it
    // (and fault in fresh pages) several times over.
    if (S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= INT32_MAX)
        bytes.reserve(size_t(st.st_size) + 1);
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
    std::string error;
    FileSource* src = new FileSource{};
    if (!filesrc_read_file(name, src->bytes, error)) {
        delete src;
        return nullptr;
    }
    src->memory = {int32_t(src->bytes.size()), 0, reinterpret_cast<uint8_t*>(src->bytes.data())};
    return src;
}

static void filesrc_close(StreamHandle handle) {
    delete static_cast<FileSource*>(handle);
}

void filesrc_register() {
    stream_set_callbacks(filesrc_open, filesrc_close, memsrc_read, memsrc_seek, memsrc_tell);
}

static const std::string* served_bytes;

static StreamHandle served_open(const char*) {
    FileSource* src = new FileSource{};
    src->memory = {int32_t(served_bytes->size()), 0,
                   reinterpret_cast<const uint8_t*>(served_bytes->data())};
    return src;
}

void filesrc_register_bytes(const std::string& bytes) {
    served_bytes = &bytes;
    stream_set_callbacks(served_open, filesrc_close, memsrc_read, memsrc_seek, memsrc_tell);
}
