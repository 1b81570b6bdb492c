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

static void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
static void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

bool wav_put_stereo16(FILE* file, const int16_t* pcm, int64_t frames, int32_t rate) {
    const uint32_t data_bytes = uint32_t(frames * 4);
    uint8_t header[44];
    memcpy(header, "RIFF", 4);
    put_u32(header + 4, 36 + data_bytes);
    memcpy(header + 8, "WAVEfmt ", 8);
    put_u32(header + 16, 16);
    put_u16(header + 20, 1); // PCM
    put_u16(header + 22, 2);
    put_u32(header + 24, uint32_t(rate));
    put_u32(header + 28, uint32_t(rate) * 4);
    put_u16(header + 32, 4);
    put_u16(header + 34, 16);
    memcpy(header + 36, "data", 4);
    put_u32(header + 40, data_bytes);
    // The samples are stored little-endian, as this machine holds them.
    return fwrite(header, 1, sizeof header, file) == sizeof header &&
           fwrite(pcm, 4, size_t(frames), file) == size_t(frames);
}

bool wav_write_stereo16(const char* path, const int16_t* pcm, int64_t frames, int32_t rate,
                        std::string* error) {
    OutFile out{};
    if (!image_io_open(&out, path, error)) return false;
    errno = 0;
    const bool ok = wav_put_stereo16(out.file, pcm, frames, rate);
    if (!ok) *error = std::string(path) + ": " + strerror(errno ? errno : EIO);
    return image_io_commit(&out, path, ok, error);
}
