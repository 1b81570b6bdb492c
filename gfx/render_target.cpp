#include "gfx/render_target.h"
#include "gfx/gl.h"

#define GFX_DEFINE_ENTRY_POINT(type, name) type gfx_##name;
GFX_FBO_ENTRY_POINTS(GFX_DEFINE_ENTRY_POINT)
#undef GFX_DEFINE_ENTRY_POINT

uint32_t framebuffer;
uint32_t depth_renderbuffer;
uint32_t render_target_screen;

void fbo_load_entry_points() {
#define GFX_FETCH_ENTRY_POINT(type, name)                                                          \
    gfx_##name = reinterpret_cast<type>(gfx_gl_proc_address(#name));
    GFX_FBO_ENTRY_POINTS(GFX_FETCH_ENTRY_POINT)
#undef GFX_FETCH_ENTRY_POINT
}

void texture_create_blank(Texture* texture, int32_t width, int32_t height) {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, 4, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    texture->name = name;
    texture->width = width;
    texture->height = height;
}

void render_target_init(uint32_t* framebuffer_out, uint32_t* depth_out, Texture* first) {
    texture_create_blank(first, SCREEN_WIDTH, SCREEN_HEIGHT);
    glGenFramebuffersEXT(1, framebuffer_out);
    glGenRenderbuffersEXT(1, depth_out);
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, *depth_out);
    glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, GL_DEPTH_COMPONENT24, SCREEN_WIDTH,
                             SCREEN_HEIGHT);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
}

void render_target_bind(const Texture* target) {
    if (target) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D,
                                  target->name, 0);
        glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_DEPTH_ATTACHMENT_EXT,
                                     GL_RENDERBUFFER_EXT, depth_renderbuffer);
    } else {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, render_target_screen);
    }
    glViewport(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT);
}
