// TGA images compiled into the program become GL textures.
//
// Glossary: an image is a TGA file in memory (18-byte header at offset 0,
// pixel or colour-map data from offset 18); bytes per pixel are blue,
// green, red (, alpha), as TGA stores them.
#pragma once
#include <cstddef>
#include <cstdint>

struct Texture {
    uint32_t name; // GL texture name
    int32_t width;
    int32_t height;
};

constexpr int32_t TGA_MODE_COLOUR = 1; // decode by image type
constexpr int32_t TGA_MODE_ALPHA = 2;  // 8-bit values become the alpha of white texels
constexpr size_t TGA_SCRATCH_SIZE = 1048576;
constexpr const char* TGA_DEPTH_MESSAGE = "Something went wrong sir.";

// Makes a new texture from `image` and leaves it bound to GL_TEXTURE_2D.
// An invalid mode, or an image whose decoded pixels do not fit the 1 MiB
// decode buffer, makes no texture and leaves the record untouched.
void tga_make_texture(Texture* texture, const uint8_t* image, int32_t mode);

// Decodes `image` the way tga_make_texture would, without GL. Returns the
// pixels (the decode buffer or the image itself) and their GL format, or
// null when no texture would be made. For tests and tools.
const uint8_t* tga_decode(const uint8_t* image, int32_t mode, uint32_t* gl_format, int32_t* width,
                          int32_t* height);
