// The show: what it builds once and how each frame is drawn.
//
// Glossary: show time t is seconds since the music started (double); the
// order is the song's order position and the row the pattern row being
// heard. Scene units are those of the 45-degree perspective view; text
// and full-screen quads are in screen pixels (640 x 480, y up in GL).
#pragma once
#include "gfx/tga.h"
#include "music/output.h"
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

// Everything the show keeps from one frame to the next. The live loop,
// stills and the capture all bring it forward through show_look.
struct ShowState {
    Timeline timeline;
    bool blending_off; // a cube frame on a fourth row switched blending off for good
};

// What one frame shows: every rule of the show's phases, decided before a
// pixel is drawn, so the phases can be checked without GL.
struct ShowLook {
    bool title_card;              // after TITLE_CARD_TIME the card replaces the passes
    bool blending;                // GL blending while the frame is drawn
    bool green_flash;             // pass 1 clears green (every fourth row from order 7)
    int32_t caption_x;            // wobbles from order 3
    bool sprite_turns;            // from order 2 the sprite strip spins about the view axis
    double sprite_angle;          // degrees
    double sprite_frame_duration; // seconds per strip frame: slow during order 0
    float intensity;              // metaball motion scale
    bool cube;                    // from order 13 pass 3 draws the cube, else the flat quad
    double screen_angle;          // the flat quad's tumble from order 10, degrees
    double cube_seconds;          // seconds since order 13 started
    bool cube_blended;            // the cube is drawn blended on every fourth row
};

extern ShowState show_state;

void show_state_reset(ShowState* state);
// The look of the frame at show time t hearing (order, row), and the state
// that frame leaves for the next one.
ShowLook show_look(ShowState* state, double t, int32_t order, int32_t row);

// The output driver's blocks in show time: the block being heard at t >= 0,
// the one heard by frame n of a run at `fps` (exact, in integers), and the
// time block k starts to be heard.
int64_t show_block_at(double t);
int64_t show_block_at_frame(int64_t n, int32_t fps);
double show_block_start(int64_t k);
// Brings `state` to what the live show leaves before its frame at show time
// t >= 0, from the positions of blocks 0 to show_block_at(t): as if a frame
// had been drawn as each earlier block started to be heard.
void show_replay(ShowState* state, const TimeInfo* blocks, double t);

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
// Draws one frame from show_state; the host presents it.
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
