// What the graphics code needs from the platform layer. The host implements
// these (host/host_sdl.cpp, host/host_win32.cpp); the GL tests bring their own.
#pragma once
#include <cstdint>

// The show's fixed screen, in pixels.
constexpr int32_t SCREEN_WIDTH = 640;
constexpr int32_t SCREEN_HEIGHT = 480;

// Address of a GL entry point in the current context, or null.
void* host_gl_proc_address(const char* name);
// The one user-visible message; blocks until dismissed where a desktop exists.
void host_message_box(const char* text);
