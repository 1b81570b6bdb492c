// The show's embedded files, compiled in as byte arrays by the build
// (assets/CMakeLists.txt). The generators in assets/gen/ make them.
#pragma once
#include <cstdint>

// The soundtrack, an XM module.
extern const unsigned char embedded_module[];
extern const uint32_t embedded_module_size;
// The sprite strip: TGA, 256 x 128, 32-bit BGRA, four 64 x 128 frames.
extern const unsigned char embedded_sprite[];
extern const uint32_t embedded_sprite_size;
// The bitmap font: TGA, 256 x 128, 8-bit greyscale coverage, 16 x 8 cells.
extern const unsigned char embedded_font[];
extern const uint32_t embedded_font_size;
// The metaball veil's GLSL source in the marked-up two-stage format.
extern const unsigned char embedded_metaball_shader[];
extern const uint32_t embedded_metaball_shader_size;
