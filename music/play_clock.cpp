#include "music/play_clock.h"
#include "music/engine.h"

#include <algorithm>

void play_clock_reset(PlayClock* clock) {
    *clock = PlayClock{};
}

void play_clock_start(PlayClock* clock, double time) {
    clock->silent_known = true;
    clock->silent_time = time;
}

// What a device can have played by `report.time`: its first frame came
// after the last time it had played nothing, and it plays at real time.
static OutputReport play_clock_believable(PlayClock* clock, OutputReport report) {
    if (report.played <= 0 && clock->progress.played <= 0) {
        clock->silent_known = true;
        clock->silent_time = report.time;
    }
    if (!clock->silent_known) return report;
    const double since = std::max(0.0, report.time - clock->silent_time);
    const double limit = (since * (1 + PLAY_CLOCK_FAST_LIMIT) + PLAY_CLOCK_FAST_SLACK) * MIX_RATE;
    report.played = std::min(report.played, int64_t(limit));
    return report;
}

void play_clock_report(PlayClock* clock, const OutputReport& told) {
    if (clock->reported && told.time < clock->latest.time) return;
    const OutputReport report = play_clock_believable(clock, told);
    // Only a report that moves the device on starts a new stretch of
    // running; one that repeats the count (a device that answers in bursts,
    // or has stopped) leaves the last stretch where it began, and one that
    // goes back is not believed until it passes the furthest count seen.
    const bool advanced =
        clock->reported ? report.played > clock->progress.played : report.played > 0;
    if (!clock->reported || advanced) clock->progress = report;
    // The device's first movement is met at once: the position jumps from
    // where it waited to wherever the device has got.
    if (advanced && !clock->moving) clock->answered = false;
    if (advanced) clock->moving = true;
    clock->latest = report;
    clock->reported = true;
}

// Where the device is at `now` by its own word: the last count it moved
// to, run on since, but never further than PLAY_CLOCK_STALL nor past what
// it was given.
static double device_position(const PlayClock* clock, double now) {
    double position = double(clock->progress.played);
    if (clock->moving)
        position += std::clamp(now - clock->progress.time, 0.0, PLAY_CLOCK_STALL) * MIX_RATE;
    return std::min(position, double(clock->latest.written));
}

double play_clock_position(PlayClock* clock, double now) {
    if (!clock->reported || (clock->answered && now <= clock->answer_time)) return clock->answer;
    const double device = device_position(clock, now);
    const double dt = clock->answered ? now - clock->answer_time : 0;
    const double stride = dt * MIX_RATE;
    const double error = device - (clock->answer + stride); // against the pace so far
    double next;
    if (!clock->moving) {
        next = clock->answer;
    } else if (error > PLAY_CLOCK_SNAP * MIX_RATE || !clock->answered) {
        next = device; // the start, or a device far ahead: catch up at once
    } else if (error < -PLAY_CLOCK_HOLD * MIX_RATE) {
        next = std::min(device, clock->answer + stride); // wait for it
    } else if (now - clock->progress.time > PLAY_CLOCK_STALL) {
        next = std::min(device, clock->answer + stride); // stopped: go as far as it got
    } else {
        const double pace =
            std::clamp(error / (PLAY_CLOCK_SETTLE * MIX_RATE), -PLAY_CLOCK_SLEW, PLAY_CLOCK_SLEW);
        next = clock->answer + stride * (1 + pace);
    }
    next = std::min(next, double(clock->latest.written));
    clock->answer = std::max(next, clock->answer);
    clock->answer_time = now;
    clock->answered = true;
    return clock->answer;
}

int64_t play_clock_delay(const PlayClock* clock) {
    return clock->latest.written - clock->latest.played;
}
