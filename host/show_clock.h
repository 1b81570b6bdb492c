// The show time the frame loop hands the show. While a device plays it is
// the audio clock: the position being heard when the frame appears,
// counted from the song's first frame, so every motion keeps step with
// the sound even when the device starts late, stalls or runs off the
// system clock. Before the music, without a device, or once the device
// has stopped answering for AUDIO_STALL_LIMIT, it is the monotonic clock.
#pragma once
#include <vlorp/xm.h>

#include <cstdint>

// Seconds of a device that does not move before the show gives up waiting.
constexpr double AUDIO_STALL_LIMIT = 5.0;
// The most the show looks ahead for a frame still to be drawn and shown.
constexpr double PRESENT_LEAD_LIMIT = 0.1;
// The lead is the median of the last this many frames' (odd).
constexpr int32_t SHOW_LEAD_FRAMES = 9;

struct ShowClock {
    double base;                    // engine-clock reading of show time 0 on the monotonic clock
    bool audio;                     // following the audio clock
    double heard;                   // audio position (frames) of the last frame
    double moved_at;                // when it last moved
    double lead;                    // seconds from asking to showing a frame, expected
    int32_t timed;                  // frames timed so far
    double leads[SHOW_LEAD_FRAMES]; // the latest, by frame number
    double last;                    // the show time of the last frame: never goes back
};

// What one frame draws.
struct ShowFrameTime {
    double show_time;
    int32_t order;
    int32_t row;
    vlorp_xm_heard heard; // what the audio clock said (zeros without one)
};

// Starts the show time at 0 now (vlorp_xm_clock); call right after vlorp_xm_play.
void show_clock_start(ShowClock* clock, double now);
// The show time, order and row of a frame asked for at `now`, to be shown
// `lead` later.
ShowFrameTime show_clock_frame(ShowClock* clock, vlorp_xm_module* module, double now);
// A frame asked for at `asked` appeared at `shown`: the lead to expect, the
// median of the latest SHOW_LEAD_FRAMES (the lower one of an even count),
// leaving out the show's first frame.
void show_clock_shown(ShowClock* clock, double asked, double shown);
