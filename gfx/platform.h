// What the graphics code needs from the platform layer, handed to it before
// any drawing: the host hands its window calls over (host/main.cpp), the GL
// tests their own. Graphics code never calls into the host.
#pragma once
#include <cstdint>

// The show's fixed screen, in pixels.
constexpr int32_t SCREEN_WIDTH = 640;
constexpr int32_t SCREEN_HEIGHT = 480;

struct GfxPlatform {
    // Address of a GL entry point in the current context, or null.
    void* (*gl_proc_address)(const char* name);
    // The one user-visible message; blocks until dismissed where a desktop exists.
    void (*message_box)(const char* text);
};

// Keeps `platform` (which must outlive all drawing) for the calls below.
void gfx_set_platform(const GfxPlatform* platform);
void* gfx_gl_proc_address(const char* name);
void gfx_message_box(const char* text);
