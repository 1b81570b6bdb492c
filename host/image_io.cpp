#include "host/image_io.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string partial_path(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : base.substr(dot);
    return dir + "." + base + ".partial" + ext;
}

static bool finish(const std::string& tmp, const char* path, std::string* error) {
    if (rename(tmp.c_str(), path) != 0) {
        *error = std::string(path) + ": " + strerror(errno);
        remove(tmp.c_str());
        return false;
    }
    return true;
}

bool png_write_rgb(const char* path, const uint8_t* rgb, int32_t width, int32_t height,
                   std::string* error) {
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(width);
    image.height = uint32_t(height);
    image.format = PNG_FORMAT_RGB;
    const std::string tmp = partial_path(path);
    if (!png_image_write_to_file(&image, tmp.c_str(), 0, rgb, width * 3, nullptr)) {
        *error = std::string(path) + ": " + (errno ? strerror(errno) : image.message);
        remove(tmp.c_str());
        return false;
    }
    return finish(tmp, path, error);
}

static void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
static void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

bool wav_write_stereo16(const char* path, const int16_t* pcm, int64_t frames, int32_t rate,
                        std::string* error) {
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
    const std::string tmp = partial_path(path);
    FILE* file = fopen(tmp.c_str(), "wb");
    bool ok = file && fwrite(header, 1, sizeof header, file) == sizeof header &&
              fwrite(pcm, 4, size_t(frames), file) == size_t(frames);
    const int saved = errno;
    if (file && fclose(file) != 0) ok = false;
    if (!ok) {
        *error = std::string(path) + ": " + strerror(saved ? saved : errno);
        remove(tmp.c_str());
        return false;
    }
    return finish(tmp, path, error);
}
