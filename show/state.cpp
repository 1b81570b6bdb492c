// The show's state from frame to frame and the rules of its phases: which
// order, row or time starts, stops or changes what. No GL here.
#include "show/show.h"

#include <cmath>

ShowState show_state = {{-1, {}}, false};

void show_state_reset(ShowState* state) {
    timeline_reset(&state->timeline);
    state->blending_off = false;
}

ShowLook show_look(ShowState* state, double t, int32_t order, int32_t row) {
    Timeline* tl = &state->timeline;
    timeline_note_order(tl, order, t);
    ShowLook look = {};
    look.title_card = t > TITLE_CARD_TIME;
    look.blending = !state->blending_off;
    look.green_flash = order >= 7 && row % 4 == 0;
    look.caption_x = 100;
    if (order >= 3)
        look.caption_x = int32_t(float(100 + 20 * sin(10 * (t - timeline_order_start(tl, 3)))));
    look.sprite_turns = order >= 2;
    if (look.sprite_turns) look.sprite_angle = 100 * (t - timeline_order_start(tl, 2));
    look.sprite_frame_duration = order < 1 ? 10.0 : double(0.15f);
    look.intensity = show_intensity(t);
    look.cube = order >= 13;
    look.screen_angle = order >= 10 ? 100 * (t - timeline_order_start(tl, 10)) : 0.0;
    look.cube_seconds = t - timeline_order_start(tl, 13);
    look.cube_blended = row % 4 == 0;
    // The cube's blended frame switches blending off behind it, and nothing
    // switches it back on: every later frame, the title card too, is unblended.
    if (!look.title_card && look.cube && look.cube_blended) state->blending_off = true;
    return look;
}

int64_t show_block_at(double t) {
    return int64_t(t * MIX_RATE / BLOCK_FRAMES);
}

int64_t show_block_at_frame(int64_t n, int32_t fps) {
    return n * MIX_RATE / (int64_t(BLOCK_FRAMES) * fps);
}

double show_block_start(int64_t k) {
    return double(k * BLOCK_FRAMES) / MIX_RATE;
}

void show_replay(ShowState* state, const TimeInfo* blocks, double t) {
    const int64_t block = show_block_at(t);
    for (int64_t k = 0; k < block; k++)
        show_look(state, show_block_start(k), blocks[k].order, blocks[k].row);
    // The position heard at t was first reported when its block started.
    timeline_note_order(&state->timeline, blocks[block].order, show_block_start(block));
}
