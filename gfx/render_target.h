// Off-screen render targets: 640 x 480 textures drawn into through one
// shared framebuffer object whose colour attachment is re-pointed on bind.
#pragma once
#include "gfx/tga.h"
#include <cstdint>

extern uint32_t framebuffer;        // the one framebuffer object
extern uint32_t depth_renderbuffer; // its depth storage, shared by every target
// The framebuffer that "no target" means: 0, the window, unless the host
// draws the screen image off-screen (scaled full screen, capture).
extern uint32_t render_target_screen;

// Fetches the GL_EXT_framebuffer_object entry points.
void fbo_load_entry_points();
// A new empty RGBA texture, clamped and linearly filtered.
void texture_create_blank(Texture* texture, int32_t width, int32_t height);
// Creates the shared framebuffer, its depth renderbuffer and `first`'s texture.
void render_target_init(uint32_t* framebuffer_out, uint32_t* depth_out, Texture* first);
// Directs drawing into `target`, or to the screen when null; viewport 640 x 480.
void render_target_bind(const Texture* target);
