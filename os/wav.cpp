// WAV files: 16-bit stereo PCM behind the 44-byte header.
#include "os/wav.h"

#include "os/outfile.h"

#include <cerrno>
#include <cstring>

static void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
static void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void wav_header_stereo16(uint8_t header[WAV_HEADER_BYTES], uint64_t data_bytes, int32_t rate) {
    memcpy(header, "RIFF", 4);
    put_u32(header + 4, uint32_t(36 + data_bytes));
    memcpy(header + 8, "WAVEfmt ", 8);
    put_u32(header + 16, 16);
    put_u16(header + 20, 1); // PCM
    put_u16(header + 22, 2);
    put_u32(header + 24, uint32_t(rate));
    put_u32(header + 28, uint32_t(rate) * 4);
    put_u16(header + 32, 4);
    put_u16(header + 34, 16);
    memcpy(header + 36, "data", 4);
    put_u32(header + 40, uint32_t(data_bytes));
}

bool wav_put_stereo16(FILE* file, const int16_t* pcm, int64_t frames, int32_t rate) {
    uint8_t header[WAV_HEADER_BYTES];
    wav_header_stereo16(header, uint64_t(frames) * 4, rate);
    // The samples are stored little-endian, as this machine holds them.
    return fwrite(header, 1, sizeof header, file) == sizeof header &&
           fwrite(pcm, 4, size_t(frames), file) == size_t(frames);
}

bool wav_write_stereo16(const char* path, const int16_t* pcm, int64_t frames, int32_t rate,
                        std::string* error) {
    OutFile out{};
    if (!outfile_open(&out, path, error)) {
        *error = std::string(path) + ": " + *error;
        return false;
    }
    errno = 0;
    const bool ok = wav_put_stereo16(out.file, pcm, frames, rate);
    if (!ok) {
        *error = std::string(path) + ": " + strerror(errno ? errno : EIO);
        outfile_discard(&out);
        return false;
    }
    if (outfile_commit(&out, error)) return true;
    *error = std::string(path) + ": " + *error;
    return false;
}
