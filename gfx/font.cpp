#include "gfx/font.h"
#include "gfx/gl.h"

#include <cstring>

FontText font;

void font_build_image(const uint8_t* image) {
    tga_make_texture(&font.texture, image, TGA_MODE_ALPHA);
    font.list_base = glGenLists(FONT_CELLS);
    glBindTexture(GL_TEXTURE_2D, font.texture.name);
    for (int32_t i = 0; i < FONT_CELLS; i++) {
        const float s0 = float(i % 16) * 0.0625f;
        const float s1 = s0 + 0.0625f;
        const float t1 = 1.0f - float(i / 16) * 0.125f;
        const float t0 = t1 - 0.125f;
        glNewList(font.list_base + i, GL_COMPILE);
        glBegin(GL_QUADS);
        glTexCoord2f(s0, t0);
        glVertex2i(0, -GLYPH_SIZE);
        glTexCoord2f(s1, t0);
        glVertex2i(GLYPH_SIZE, -GLYPH_SIZE);
        glTexCoord2f(s1, t1);
        glVertex2i(GLYPH_SIZE, 0);
        glTexCoord2f(s0, t1);
        glVertex2i(0, 0);
        glEnd();
        glTranslated(GLYPH_ADVANCE, 0, 0);
        glEndList();
    }
}

void font_draw_text(int32_t x, int32_t y, const char* text) {
    glBindTexture(GL_TEXTURE_2D, font.texture.name);
    glDisable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, SCREEN_WIDTH, 0, SCREEN_HEIGHT, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glTranslated(x, SCREEN_HEIGHT - y, 0);
    glListBase(font.list_base - FONT_FIRST_CODE);
    glCallLists(GLsizei(strlen(text)), GL_UNSIGNED_BYTE, text);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glEnable(GL_DEPTH_TEST);
}
