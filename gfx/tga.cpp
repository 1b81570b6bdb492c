#include "gfx/tga.h"
#include "gfx/gl.h"

#include <cstdlib>
#include <cstring>

constexpr int32_t TGA_DATA_OFFSET = 18;
constexpr uint8_t TGA_TYPE_COLOUR_MAPPED = 1;
constexpr uint8_t TGA_TYPE_TRUE_COLOUR = 2;
constexpr uint8_t TGA_TYPE_RLE_TRUE_COLOUR = 10;

// One decode buffer for the life of the process, shared by every image.
static uint8_t* tga_scratch;

static int32_t read_u16(const uint8_t* p) {
    return p[0] | p[1] << 8;
}
static int32_t read_i16(const uint8_t* p) {
    return int16_t(p[0] | p[1] << 8);
}

static uint32_t format_for(int32_t bytes_per_pixel) {
    return bytes_per_pixel == 4 ? GL_BGRA : GL_BGR;
}

// An 8-bit image as the alpha of white pixels.
static const uint8_t* decode_alpha(const uint8_t* data, int64_t pixels, uint32_t* gl_format) {
    if (pixels * 4 > int64_t(TGA_SCRATCH_SIZE)) return nullptr;
    // White over the whole image, not a fixed 32 768 pixels: larger
    // images would otherwise show whatever the heap held.
    memset(tga_scratch, 0xFF, size_t(pixels * 4));
    for (int64_t i = 0; i < pixels; i++) tga_scratch[4 * i + 3] = data[i];
    *gl_format = GL_RGBA;
    return tga_scratch;
}

// Run-length packets unpacked into the decode buffer.
static const uint8_t* decode_rle(const uint8_t* data, int64_t pixels, int32_t bytes_per_pixel,
                                 uint32_t* gl_format) {
    if (bytes_per_pixel < 1 || pixels * bytes_per_pixel > int64_t(TGA_SCRATCH_SIZE)) return nullptr;
    const int64_t capacity = int64_t(TGA_SCRATCH_SIZE) / bytes_per_pixel;
    int64_t produced = 0;
    const uint8_t* in = data;
    while (produced < pixels) {
        const uint8_t header = *in++;
        const int32_t count = (header & 0x7F) + 1;
        // A packet may run past the last pixel; it is written whole, but
        // never beyond the decode buffer.
        for (int32_t k = 0; k < count && produced < capacity; k++) {
            memcpy(tga_scratch + produced * bytes_per_pixel, in, size_t(bytes_per_pixel));
            produced++;
            if (!(header & 0x80)) in += bytes_per_pixel;
        }
        if (header & 0x80) in += bytes_per_pixel;
    }
    *gl_format = format_for(bytes_per_pixel);
    return tga_scratch;
}

// Palette indices looked up into the decode buffer.
static const uint8_t* decode_mapped(const uint8_t* image, const uint8_t* data, int64_t pixels,
                                    uint32_t* gl_format) {
    const int32_t map_length = read_u16(image + 5);
    const int32_t entry_size = image[7] / 8;
    if (entry_size < 1 || pixels * entry_size > int64_t(TGA_SCRATCH_SIZE)) return nullptr;
    const uint8_t* indices = data + int64_t(map_length) * entry_size;
    for (int64_t i = 0; i < pixels; i++)
        memcpy(tga_scratch + i * entry_size, data + indices[i] * entry_size, size_t(entry_size));
    *gl_format = format_for(entry_size);
    return tga_scratch;
}

const uint8_t* tga_decode(const uint8_t* image, int32_t mode, uint32_t* gl_format,
                          int32_t* width_out, int32_t* height_out) {
    if (!tga_scratch) tga_scratch = static_cast<uint8_t*>(malloc(TGA_SCRATCH_SIZE));
    if (mode != TGA_MODE_COLOUR && mode != TGA_MODE_ALPHA) return nullptr;
    if (!tga_scratch) return nullptr;

    const int32_t type = image[2];
    const int32_t width = read_i16(image + 12);
    const int32_t height = read_i16(image + 14);
    const int32_t bytes_per_pixel = image[16] / 8;
    if (width < 0 || height < 0) return nullptr;
    const int64_t pixels = int64_t(width) * height;
    const uint8_t* data = image + TGA_DATA_OFFSET;
    *width_out = width;
    *height_out = height;

    if (mode == TGA_MODE_ALPHA) return decode_alpha(data, pixels, gl_format);

    if (type == TGA_TYPE_TRUE_COLOUR) {
        if (bytes_per_pixel != 4 && bytes_per_pixel != 3) {
            // Uploading such pixels as BGR would read past the image.
            gfx_message_box(TGA_DEPTH_MESSAGE);
            return nullptr;
        }
        *gl_format = format_for(bytes_per_pixel);
        return data;
    }
    if (type == TGA_TYPE_RLE_TRUE_COLOUR)
        return decode_rle(data, pixels, bytes_per_pixel, gl_format);
    if (type == TGA_TYPE_COLOUR_MAPPED) return decode_mapped(image, data, pixels, gl_format);

    // Other image types (greyscale among them) have no colour decoding.
    return nullptr;
}

void tga_make_texture(Texture* texture, const uint8_t* image, int32_t mode) {
    uint32_t format = 0;
    int32_t width = 0, height = 0;
    const uint8_t* pixels = tga_decode(image, mode, &format, &width, &height);
    if (!pixels) return;
    texture->width = width;
    texture->height = height;
    glGenTextures(1, &texture->name);
    glBindTexture(GL_TEXTURE_2D, texture->name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1); // TGA rows are packed
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
}
