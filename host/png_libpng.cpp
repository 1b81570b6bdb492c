// PNG writing through libpng.
#include "host/image_io.h"
#include "os/outfile.h"

#include <png.h>

#include <cerrno>
#include <cstring>

bool png_write_rgb(const char* path, const uint8_t* rgb, int32_t width, int32_t height,
                   std::string* error) {
    OutFile out{};
    if (!image_io_open(&out, path, error)) return false;
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(width);
    image.height = uint32_t(height);
    image.format = PNG_FORMAT_RGB;
    errno = 0;
    const bool ok = png_image_write_to_stdio(&image, out.file, 0, rgb, width * 3, nullptr);
    if (!ok) *error = std::string(path) + ": " + (errno ? strerror(errno) : image.message);
    return image_io_commit(&out, path, ok, error);
}
