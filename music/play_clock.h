// The play position between device reports. A device says now and then
// how many frames have been heard; in between, the position runs on with
// the monotonic clock. Each new report re-anchors it without a jump: the
// position speeds up or slows down (by at most PLAY_CLOCK_SLEW) until it
// meets the device again, or waits for a device that fell behind. It never goes backwards, never
// runs past what the device was given, and holds still while the device does.
// Nor does it believe a device that says more was heard than real time
// allows since the device started (one that consumes faster than it plays:
// a null sink, a file): what is heard is held to the clock.
//
// One owner: whoever asks for the position feeds the reports.
#pragma once
#include "music/output_device.h"

// How far the pace may differ from real time while catching up.
constexpr double PLAY_CLOCK_SLEW = 0.05;
// Seconds over which a difference from the device is worked off.
constexpr double PLAY_CLOCK_SETTLE = 0.3;
// A device that has not moved for this long is taken to have stopped.
constexpr double PLAY_CLOCK_STALL = 0.06;
// Behind the device by more than this (seconds), the position jumps to it
// instead of slewing.
constexpr double PLAY_CLOCK_SNAP = 0.1;
// Ahead of it by more than this (an underrun: the device lost time), the
// position waits for it: slewing would keep it ahead for many frames.
constexpr double PLAY_CLOCK_HOLD = 0.01;
// A device is believed up to real time since it was last known to have
// played nothing, this much faster (a device clock off the system's), plus
// PLAY_CLOCK_FAST_SLACK seconds (a device that answers in bursts).
constexpr double PLAY_CLOCK_FAST_LIMIT = 0.002;
constexpr double PLAY_CLOCK_FAST_SLACK = 0.1;

struct PlayClock {
    bool reported;         // a report has been seen
    bool moving;           // the device has moved at least once
    bool silent_known;     // silent_time holds a time
    double silent_time;    // the last time the device had played nothing
    OutputReport latest;   // the latest report
    OutputReport progress; // the latest report that moved the device on
    bool answered;         // the position has been asked since the first report
    double answer_time;    // when the position was last asked
    double answer;         // frames, the last answer
};

void play_clock_reset(PlayClock* clock);
// The device starts at `time`: nothing can be heard before.
void play_clock_start(PlayClock* clock, double time);
// Takes a report; reports older than the latest are ignored, and one that
// says more was heard than real time allows is held to that.
void play_clock_report(PlayClock* clock, const OutputReport& report);
// The position heard at `now` (frames since the device started, with a
// fraction). Asked for an earlier time than before, it answers as before.
double play_clock_position(PlayClock* clock, double now);
// The device's delay in the latest report (frames given, not yet heard).
int64_t play_clock_delay(const PlayClock* clock);
