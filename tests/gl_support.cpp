#include "tests/gl_support.h"
#include "gfx/gl.h"
#include "gfx/render_target.h"
#include "gfx/shader.h"

#include <SDL.h>
#include <cstdlib>
#include <cstring>

std::vector<std::string> gl_test_messages;

static void* test_gl_proc_address(const char* name) {
    return SDL_GL_GetProcAddress(name);
}
static void test_message_box(const char* text) {
    gl_test_messages.push_back(text);
}
static const GfxPlatform TEST_PLATFORM = {test_gl_proc_address, test_message_box};
// Handed over before any test runs, as the host does first thing in main.
[[maybe_unused]] static const bool platform_set = (gfx_set_platform(&TEST_PLATFORM), true);

static SDL_Window* window;

bool gl_test_context(std::string* reason) {
    static bool tried = false, ok = false;
    static std::string why;
    if (!tried) {
        tried = true;
        if (!getenv("SDL_VIDEODRIVER")) SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            why = SDL_GetError();
        } else {
            SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
            SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, 8);
            SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
            SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
            window = SDL_CreateWindow("vlorp test", 0, 0, 640, 480,
                                      SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
            SDL_GLContext context = window ? SDL_GL_CreateContext(window) : nullptr;
            if (!context) why = SDL_GetError();
            ok = context != nullptr;
            if (ok) {
                shader_load_entry_points();
                fbo_load_entry_points();
            }
        }
    }
    *reason = why;
    return ok;
}

Rgba gl_test_pixel(int x, int y) {
    uint8_t p[4] = {};
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, 479 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return Rgba{p[0], p[1], p[2], p[3]};
}

std::vector<uint8_t> gl_test_read_frame() {
    std::vector<uint8_t> frame(640 * 480 * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, 640, 480, GL_RGBA, GL_UNSIGNED_BYTE, frame.data());
    return frame;
}

Rgba frame_pixel(const std::vector<uint8_t>& frame, int x, int y) {
    const uint8_t* p = &frame[(size_t(479 - y) * 640 + size_t(x)) * 4];
    return Rgba{p[0], p[1], p[2], p[3]};
}

std::vector<uint8_t> tga_image(int type, int width, int height, int depth,
                               const std::vector<uint8_t>& data, int map_length,
                               int map_entry_bits) {
    std::vector<uint8_t> image(18, 0);
    image[2] = uint8_t(type);
    image[5] = uint8_t(map_length);
    image[6] = uint8_t(map_length >> 8);
    image[7] = uint8_t(map_entry_bits);
    image[12] = uint8_t(width);
    image[13] = uint8_t(width >> 8);
    image[14] = uint8_t(height);
    image[15] = uint8_t(height >> 8);
    image[16] = uint8_t(depth);
    image[17] = 0x08;
    static const char footer[] = "\0\0\0\0\0\0\0\0TRUEVISION-XFILE.";
    image.resize(18 + data.size() + sizeof footer);
    if (!data.empty()) memcpy(image.data() + 18, data.data(), data.size());
    memcpy(image.data() + 18 + data.size(), footer, sizeof footer);
    return image;
}
