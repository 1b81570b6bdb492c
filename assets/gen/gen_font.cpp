// Rasterises the show's bitmap font: a 256 x 128 greyscale TGA holding a
// 16 x 8 grid of 16 x 16 cells, cell i showing character i + 32 (32 to 159,
// Windows-1252 for 128 to 159), grey level = coverage.
//
// Glyphs come from DejaVu Sans Bold (Debian fonts-dejavu-core; free licence,
// see the README) through FreeType, squeezed horizontally so that they fit the
// text's fixed pen advance of 10 texels (20 units when drawn at twice the size).
#include "assets/gen/gen_common.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>

#ifndef VLORP_FONT_FILE
#define VLORP_FONT_FILE "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
#endif

constexpr int FONT_WIDTH = 256;
constexpr int FONT_HEIGHT = 128;
constexpr int CELL = 16;
constexpr int COLUMNS = 16;
constexpr int FIRST_CODE = 32;
constexpr int CELL_COUNT = 128;
constexpr int PEN_ADVANCE = 10; // texels between glyph origins
constexpr int BASELINE = 12;    // texel row of the baseline, counted from the cell top
constexpr int EM_HEIGHT_26_6 = 14 * 64;
constexpr int EM_WIDTH_26_6 = 12 * 64;
// Fringe pixels fainter than this are dropped: once the show turns blending
// off, the alpha test alone cuts the glyphs out and any faint pixel would
// show as solid white and smear the letters.
constexpr int MIN_COVERAGE = 48;

// Windows-1252 code points for 128..159; 0 where the code page has no character.
static const uint32_t CP1252_HIGH[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

static uint32_t code_point(int code) {
    return code < 128 ? uint32_t(code) : CP1252_HIGH[code - 128];
}

// Copies the rendered glyph into its cell, centred in the pen advance;
// returns how many of its pixels fell outside the cell.
static int place_glyph(const FT_GlyphSlot g, int cell, std::vector<uint8_t>& image) {
    int clipped = 0;
    const FT_Bitmap& bm = g->bitmap;
    // Centre the glyph's advance box in the pen advance.
    int advance = int((g->advance.x + 32) >> 6);
    int x0 = (PEN_ADVANCE - advance) / 2 + g->bitmap_left;
    x0 = std::max(x0, 0);
    if (x0 + int(bm.width) > CELL) x0 = std::max(0, CELL - int(bm.width));
    int y0 = BASELINE - g->bitmap_top;
    int cx = (cell % COLUMNS) * CELL, cy = (cell / COLUMNS) * CELL;
    for (int y = 0; y < int(bm.rows); y++)
        for (int x = 0; x < int(bm.width); x++) {
            int v = bm.buffer[y * bm.pitch + x];
            if (v < MIN_COVERAGE) continue;
            int px = x0 + x, py = y0 + y;
            if (px < 0 || px >= CELL || py < 0 || py >= CELL) {
                clipped++;
                continue;
            }
            image[size_t(cy + py) * FONT_WIDTH + size_t(cx + px)] = uint8_t(v);
        }
    return clipped;
}

// The image's rows in the opposite order: TGA wants the bottom row first.
static std::vector<uint8_t> bottom_row_first(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> pixels;
    pixels.reserve(image.size());
    for (int y = FONT_HEIGHT - 1; y >= 0; y--)
        pixels.insert(pixels.end(), image.begin() + y * FONT_WIDTH,
                      image.begin() + (y + 1) * FONT_WIDTH);
    return pixels;
}

int main(int argc, char** argv) {
    const char* program = "vlorp-gen-font";
    GenArgs args =
        gen_parse_args(argc, argv, program, "font.tga",
                       "Rasterises the bitmap font (DejaVu Sans Bold, from " VLORP_FONT_FILE
                       ")\ninto a 256 x 128 greyscale TGA of 16 x 16 glyph cells.");
    if (!args.output) return args.exit_status;

    FT_Library library;
    FT_Face face;
    if (FT_Init_FreeType(&library)) {
        fprintf(stderr, "%s: cannot start FreeType\n", program);
        return 1;
    }
    if (FT_New_Face(library, VLORP_FONT_FILE, 0, &face)) {
        fprintf(stderr, "%s: %s: cannot open the font (install fonts-dejavu-core)\n", program,
                VLORP_FONT_FILE);
        return 1;
    }
    FT_Set_Char_Size(face, EM_WIDTH_26_6, EM_HEIGHT_26_6, 72, 72);

    // Image rows top first while drawing; TGA wants the bottom row first.
    std::vector<uint8_t> image(size_t(FONT_WIDTH) * FONT_HEIGHT, 0);
    int missing = 0, clipped = 0;
    for (int cell = 0; cell < CELL_COUNT; cell++) {
        uint32_t cp = code_point(cell + FIRST_CODE);
        if (cp == 0 || cp == ' ') continue;
        FT_UInt index = FT_Get_Char_Index(face, cp);
        if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) ||
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL)) {
            missing++;
            continue;
        }
        clipped += place_glyph(face->glyph, cell, image);
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);

    std::vector<uint8_t> pixels = bottom_row_first(image);
    std::vector<uint8_t> tga = gen_tga(TGA_GREYSCALE, FONT_WIDTH, FONT_HEIGHT, 8, pixels);
    if (args.verbose)
        fprintf(stderr, "font.tga: %zu bytes, %d glyphs missing, %d pixels clipped\n", tga.size(),
                missing, clipped);
    return gen_write_file(program, args.output, tga) ? 0 : 1;
}
