// GL tests: one off-screen GL context per test process (SDL's off-screen
// driver, or a hidden window under Xvfb), the platform hooks the graphics
// code calls, and pixel read-back.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct Rgba {
    int r, g, b, a;
};

// Creates the context on first use; false (with the reason) where no GL exists.
bool gl_test_context(std::string* reason);
// Messages the graphics code would have shown, oldest first.
extern std::vector<std::string> gl_test_messages;
// Pixel (x, y) of the bound framebuffer, y counted down from the top.
Rgba gl_test_pixel(int x, int y);
// The whole 640 x 480 framebuffer, bottom row first, RGBA.
std::vector<uint8_t> gl_test_read_frame();
// Pixel (x, y) of a frame read back, y counted down from the top.
Rgba frame_pixel(const std::vector<uint8_t>& frame, int x, int y);
// Builds a TGA image in memory: 18-byte header, then `data`, then the footer.
std::vector<uint8_t> tga_image(int type, int width, int height, int depth,
                               const std::vector<uint8_t>& data, int map_length = 0,
                               int map_entry_bits = 0);

#define REQUIRE_GL()                                                                               \
    do {                                                                                           \
        std::string reason_;                                                                       \
        if (!gl_test_context(&reason_)) GTEST_SKIP() << "no GL: " << reason_;                      \
    } while (0)
