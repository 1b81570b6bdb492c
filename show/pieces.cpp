// The sprite strip, the cube, the metaball motion and the title card.
#include "show/show.h"
#include "gfx/font.h"
#include "gfx/gl.h"

#include <cmath>

int32_t sprite_strip_frame(const SpriteStrip* strip, double t) {
    return int32_t(int64_t(t / strip->frame_duration) % strip->frame_count);
}

void sprite_strip_draw(const SpriteStrip* strip, double t) {
    const int32_t frame = sprite_strip_frame(strip, t);
    const float w = 1.0f / float(strip->frame_count);
    glBindTexture(GL_TEXTURE_2D, strip->texture->name);
    glBegin(GL_QUADS);
    glTexCoord2f(float(frame) * w, 0);
    glVertex2f(-1, -1);
    glTexCoord2f(float(frame) * w, 1);
    glVertex2f(-1, 1);
    glTexCoord2f(float(frame + 1) * w, 1);
    glVertex2f(1, 1);
    glTexCoord2f(float(frame + 1) * w, 0);
    glVertex2f(1, -1);
    glEnd();
}

// Per face: four (s, t, x, y, z) corners, each face showing the whole texture.
static const float CUBE_VERTICES[24][5] = {
    {0, 0, -1, -1, 1},  {1, 0, 1, -1, 1},  {1, 1, 1, 1, 1},  {0, 1, -1, 1, 1},  // front
    {1, 0, -1, -1, -1}, {1, 1, -1, 1, -1}, {0, 1, 1, 1, -1}, {0, 0, 1, -1, -1}, // back
    {0, 1, -1, 1, -1},  {0, 0, -1, 1, 1},  {1, 0, 1, 1, 1},  {1, 1, 1, 1, -1},  // top
    {1, 1, -1, -1, -1}, {0, 1, 1, -1, -1}, {0, 0, 1, -1, 1}, {1, 0, -1, -1, 1}, // bottom
    {1, 0, 1, -1, -1},  {1, 1, 1, 1, -1},  {0, 1, 1, 1, 1},  {0, 0, 1, -1, 1},  // right
    {0, 0, -1, -1, -1}, {1, 0, -1, -1, 1}, {1, 1, -1, 1, 1}, {0, 1, -1, 1, -1}, // left
};

void cube_draw() {
    glBegin(GL_QUADS);
    for (const auto& v : CUBE_VERTICES) {
        glTexCoord2f(v[0], v[1]);
        glVertex3f(v[2], v[3], v[4]);
    }
    glEnd();
}

void metaball_positions(double t, float intensity, float balls[BALL_COUNT][3]) {
    const double i = intensity;
    const double h = 0.5 * t;
    const double xy[BALL_COUNT][2] = {
        {cos(0.5 * t), sin(1.5 * t)},
        {cos(2 * (h + 0.1)), cos(3 * (h + 0.2))},
        {cos(3 * (h + 0.3)), sin(4 * (h + 0.4))},
        {cos(2 * (h + 0.5)), sin(4 * (h + 0.6))},
        {cos(3 * (h + 0.7)), sin(5 * (h + 0.8))},
        {cos(6 * (h + 0.9)), sin(3 * (h + 1.0))},
    };
    for (int32_t b = 0; b < BALL_COUNT; b++) {
        balls[b][0] = float(i * xy[b][0]);
        balls[b][1] = float(i * xy[b][1]);
        balls[b][2] = BALL_STRENGTH;
    }
}

struct TitleLine {
    const char* text;
    int32_t x, y;
};
static const TitleLine TITLE_CARD[] = {
    {"The vlorp", 50, 100},
    {"Code: dravo", 100, 200},
    {"Music: Tovrik", 100, 260},
    {"Thanks for a great party!", -2, 360},
};

void show_title_card() {
    glClearColor(0.5f, 0.6f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    for (const TitleLine& line : TITLE_CARD) font_draw_text(line.x, line.y, line.text);
}
