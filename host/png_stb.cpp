// PNG writing through stb_image_write, for builds without libpng (the
// Windows cross build): the same pixels, compressed differently.
#include "host/image_io.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace {
struct PngSink {
    FILE* file;
    bool ok;
};

void png_sink_write(void* context, void* data, int size) {
    PngSink* sink = static_cast<PngSink*>(context);
    if (sink->ok && fwrite(data, 1, size_t(size), sink->file) != size_t(size)) sink->ok = false;
}
} // namespace

bool png_write_rgb(const char* path, const uint8_t* rgb, int32_t width, int32_t height,
                   std::string* error) {
    OutFile out{};
    if (!image_io_open(&out, path, error)) return false;
    PngSink sink = {out.file, true};
    errno = 0;
    const bool encoded =
        stbi_write_png_to_func(png_sink_write, &sink, width, height, 3, rgb, width * 3) != 0;
    const bool ok = encoded && sink.ok;
    if (!ok)
        *error = std::string(path) + ": " +
                 (!encoded ? "cannot encode the image" : strerror(errno ? errno : EIO));
    return image_io_commit(&out, path, ok, error);
}
