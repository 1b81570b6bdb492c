#include "gfx/platform.h"

static const GfxPlatform* gfx_platform;

void gfx_set_platform(const GfxPlatform* platform) {
    gfx_platform = platform;
}

void* gfx_gl_proc_address(const char* name) {
    return gfx_platform ? gfx_platform->gl_proc_address(name) : nullptr;
}

void gfx_message_box(const char* text) {
    if (gfx_platform) gfx_platform->message_box(text);
}
