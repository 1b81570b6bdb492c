#include "host/show_clock.h"
#include "music/engine.h"

#include <algorithm>

void show_clock_start(ShowClock* clock, double now) {
    *clock = ShowClock{};
    clock->base = now;
    clock->audio = true;
    clock->moved_at = now;
}

ShowFrameTime show_clock_frame(ShowClock* clock, Song* song, double now) {
    ShowFrameTime frame = {};
    const double shown = now + clock->lead;
    if (clock->audio && output_position(shown, &frame.position)) {
        if (frame.position.frames > clock->heard) {
            clock->heard = frame.position.frames;
            clock->moved_at = now;
        }
        if (now - clock->moved_at <= AUDIO_STALL_LIMIT) {
            frame.show_time = clock->last = std::max(clock->last, frame.position.frames / MIX_RATE);
            frame.order = frame.position.order;
            frame.row = frame.position.row;
            return frame;
        }
        // The device has stopped for good: the show goes on from here on
        // the monotonic clock rather than stand still.
        clock->audio = false;
        clock->base = now - clock->heard / MIX_RATE;
    }
    clock->audio = false;
    frame.show_time = clock->last = std::max(clock->last, shown - clock->base);
    frame.order = player_get_order(song);
    frame.row = player_get_row(song);
    return frame;
}

void show_clock_shown(ShowClock* clock, double asked, double shown) {
    // The first frame pays for work done once (shaders, textures used the
    // first time): taken as a guide it put the next frames 50 ms ahead of
    // the sound. A median rather than a running mean: one slow frame
    // later on moves it little, and from the third frame on it is right.
    // (Smoothed up from 0, the lead took a second to learn, and the picture
    // started that far behind the sound.)
    if (clock->timed++ == 0) return;
    const int32_t count = std::min(clock->timed - 1, SHOW_LEAD_FRAMES);
    clock->leads[(clock->timed - 2) % SHOW_LEAD_FRAMES] =
        std::clamp(shown - asked, 0.0, PRESENT_LEAD_LIMIT);
    double sorted[SHOW_LEAD_FRAMES];
    std::copy(clock->leads, clock->leads + count, sorted);
    std::nth_element(sorted, sorted + (count - 1) / 2, sorted + count);
    clock->lead = sorted[(count - 1) / 2];
}
