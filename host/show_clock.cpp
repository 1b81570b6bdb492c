#include "host/show_clock.h"

#include <algorithm>

void show_clock_start(ShowClock* clock, double now) {
    *clock = ShowClock{};
    clock->base = now;
    clock->audio = true;
    clock->moved_at = now;
}

ShowFrameTime show_clock_frame(ShowClock* clock, vlorp_xm_module* module, double now) {
    ShowFrameTime frame = {};
    const double shown = now + clock->lead;
    constexpr double rate = VLORP_XM_SAMPLE_RATE;
    if (clock->audio && vlorp_xm_get_heard(module, shown, &frame.heard) == VLORP_XM_OK) {
        if (frame.heard.frames > clock->heard) {
            clock->heard = frame.heard.frames;
            clock->moved_at = now;
        }
        if (now - clock->moved_at <= AUDIO_STALL_LIMIT) {
            frame.show_time = clock->last = std::max(clock->last, frame.heard.frames / rate);
            frame.order = frame.heard.order;
            frame.row = frame.heard.row;
            return frame;
        }
        // The device has stopped for good: the show goes on from here on
        // the monotonic clock rather than stand still.
        clock->audio = false;
        clock->base = now - clock->heard / rate;
    }
    clock->audio = false;
    frame.show_time = clock->last = std::max(clock->last, shown - clock->base);
    // Without a device (no playback) the song stands at its start.
    vlorp_xm_position position = {};
    if (vlorp_xm_get_position(module, &position) == VLORP_XM_OK) {
        frame.order = position.order;
        frame.row = position.row;
    }
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
