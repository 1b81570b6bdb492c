// Bitmap font: 16 x 8 cells of 16 x 16 texels for character codes 32 to
// 159, one display list per cell. Text units are screen pixels; each glyph
// is drawn 32 x 32 and the pen advances 20.
#pragma once
#include "gfx/tga.h"
#include <cstdint>

constexpr int32_t FONT_CELLS = 128;
constexpr int32_t FONT_FIRST_CODE = 32;
constexpr int32_t GLYPH_SIZE = 32;
constexpr int32_t GLYPH_ADVANCE = 20;

struct FontText {
    Texture texture;    // white texels, alpha = glyph coverage
    uint32_t list_base; // first of FONT_CELLS display lists
};

extern FontText font;

// Builds the font from the embedded font image.
void font_build();
// Builds the font from an 8-bit 256 x 128 TGA image (alpha mode).
void font_build_image(const uint8_t* image);
// Draws `text` with the top-left of its first glyph at (x, y), y counted
// down from the top of the 640 x 480 screen.
void font_draw_text(int32_t x, int32_t y, const char* text);
// Width in pixels that `length` characters span.
constexpr int32_t font_text_width(int32_t length) {
    return length > 0 ? GLYPH_ADVANCE * (length - 1) + GLYPH_SIZE : 0;
}
