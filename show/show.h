// The show: what it builds once and how each frame is drawn.
//
// Glossary: show time t is seconds since the music started (double); the
// order is the song's order position and the row the pattern row being
// heard. Scene units are those of the 45-degree perspective view; text
// and full-screen quads are in screen pixels (640 x 480, y up in GL).
#pragma once
#include "gfx/tga.h"
#include <cstdint>

constexpr int32_t ORDER_SLOTS = 20;
constexpr double SHOW_LENGTH = 120.0;     // seconds of show after the music starts
constexpr double TITLE_CARD_TIME = 110.0; // the title card replaces the passes after this
constexpr const char* SHOW_CAPTION = "Evil vlorp eat BRAIN!!!";

// When each order position began, as the frames saw it.
struct Timeline {
    int32_t last_order;              // order of the previous frame; -1 before the first
    double order_start[ORDER_SLOTS]; // show time each position was last entered
};

struct SpriteStrip {
    const Texture* texture; // frame_count frames side by side
    int32_t frame_count;
    double frame_duration; // seconds
};

extern Timeline timeline;

void timeline_reset(Timeline* tl);
// Records `order` starting at `t` if it differs from the previous frame's.
// Positions outside 0..ORDER_SLOTS-1 are remembered as last but not timed.
void timeline_note_order(Timeline* tl, int32_t order, double t);
// Start time of `order`; 0.0 for positions never seen or outside the table.
double timeline_order_start(const Timeline* tl, int32_t order);
// The metaball motion scale for t <= TITLE_CARD_TIME.
float show_intensity(double t);

// Completes the GL state and builds every resource; a context must be current.
void show_setup();
// Draws one frame and presents it.
void show_frame(double t, int32_t order, int32_t row);

// The sprite strip frame shown at t.
int32_t sprite_strip_frame(const SpriteStrip* strip, double t);
void sprite_strip_draw(const SpriteStrip* strip, double t);
void cube_draw();
void show_title_card();

constexpr int32_t BALL_COUNT = 6;
constexpr float BALL_STRENGTH = 0.07f;
// Ball centres for show time t at intensity i: x, y, strength per ball.
void metaball_positions(double t, float intensity, float balls[BALL_COUNT][3]);
