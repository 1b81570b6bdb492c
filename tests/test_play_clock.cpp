// The play position between device reports: a fake device, driven by a
// fake clock, reports the way real ones do (steadily, in bursts, late to
// start, stalling, a little fast or slow), and the answers asked 60 times a
// second must follow what is heard without steps, never backwards and
// never past what the device was given.
#include "music/engine.h"
#include "music/play_clock.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>

namespace {

constexpr double FRAME_RATE = 60.0;

// A device heard at `heard(t)` frames, which reports every `interval`
// seconds what it has heard (in steps of `burst` frames if nonzero), with
// `ahead` frames written beyond it.
struct FakeDevice {
    std::function<double(double)> heard;
    double interval = 0.01;
    int64_t burst = 0;
    int64_t ahead = 2646; // 60 ms
    double next_report = 0;
};

OutputReport fake_report(const FakeDevice& device, double t) {
    int64_t played = int64_t(std::floor(device.heard(t)));
    if (device.burst) played -= played % device.burst;
    return OutputReport{t, played, int64_t(device.heard(t)) + device.ahead};
}

struct ClockRun {
    double worst_step = 0;     // largest answer step over real time, as a pace
    double slowest_step = 1e9; // smallest, while the device moves
    double worst_error = 0;    // frames, |answer - heard|, after settling
    double error_sum = 0;
    int64_t errors = 0;
    bool backwards = false;
    bool past_written = false;
    std::vector<double> answers;
};

// Asks at 60 Hz from `from` to `to` seconds; errors count from `settle` on.
ClockRun run_clock(FakeDevice& device, double from, double to, double settle) {
    PlayClock clock;
    play_clock_reset(&clock);
    ClockRun run;
    double last = 0;
    int64_t written = 0;
    for (double t = from; t < to; t += 1 / FRAME_RATE) {
        while (device.next_report <= t) {
            const OutputReport report = fake_report(device, device.next_report);
            play_clock_report(&clock, report);
            written = report.written;
            device.next_report += device.interval;
        }
        const double answer = play_clock_position(&clock, t);
        run.answers.push_back(answer);
        if (answer < last) run.backwards = true;
        if (answer > double(written)) run.past_written = true;
        const double pace = (answer - last) / (MIX_RATE / FRAME_RATE);
        if (t > settle) {
            run.worst_step = std::max(run.worst_step, pace);
            if (device.heard(t) > device.heard(t - 1 / FRAME_RATE))
                run.slowest_step = std::min(run.slowest_step, pace);
            const double error = answer - device.heard(t);
            run.worst_error = std::max(run.worst_error, std::fabs(error));
            run.error_sum += error;
            run.errors++;
        }
        last = answer;
    }
    return run;
}

double steady(double t) {
    return t > 0 ? t * MIX_RATE : 0;
}

TEST(PlayClock, FollowsASteadyDeviceWithinAFrame) {
    FakeDevice device{steady};
    ClockRun run = run_clock(device, 0, 10, 0.5);
    EXPECT_FALSE(run.backwards);
    EXPECT_FALSE(run.past_written);
    EXPECT_LT(run.worst_error, 1.0);
    EXPECT_NEAR(run.worst_step, 1.0, 0.001);
    EXPECT_NEAR(run.slowest_step, 1.0, 0.001);
}

TEST(PlayClock, BurstsAreSmoothedIntoAnEvenPace) {
    // Counts that move 1 024 frames at a time, seen by polls every 5 ms:
    // the raw position is a staircase of 23 ms steps.
    FakeDevice device{steady};
    device.interval = 0.005;
    device.burst = 1024;
    ClockRun run = run_clock(device, 0, 20, 2);
    EXPECT_FALSE(run.backwards);
    EXPECT_LE(run.worst_step, 1 + PLAY_CLOCK_SLEW + 1e-9);
    EXPECT_GE(run.slowest_step, 1 - PLAY_CLOCK_SLEW - 1e-9);
    // Off the truth by less than half a step on average, never by a whole one.
    const double mean = run.error_sum / double(run.errors);
    EXPECT_LT(run.worst_error, 1024);
    EXPECT_LT(std::fabs(mean), 512);
}

TEST(PlayClock, AStallAtTheStartHoldsThePositionAtZero) {
    // The device takes the first 60 ms and plays nothing for 1.5 s.
    FakeDevice device{[](double t) { return steady(t - 1.5); }};
    ClockRun run = run_clock(device, 0, 4, 2);
    EXPECT_FALSE(run.backwards);
    for (size_t i = 0; i < run.answers.size(); i++) {
        const double t = double(i) / FRAME_RATE;
        if (t < 1.5) {
            ASSERT_EQ(run.answers[i], 0) << "at " << t << " s";
        }
    }
    EXPECT_LT(run.worst_error, 1.0);
}

TEST(PlayClock, AStallInTheMiddleStopsThePositionNearWhereTheDeviceStopped) {
    // Playing, then 0.5 s of nothing from 2 s on, then playing again.
    auto heard = [](double t) { return t < 2 ? steady(t) : t < 2.5 ? steady(2) : steady(t - 0.5); };
    FakeDevice device{heard};
    ClockRun run = run_clock(device, 0, 5, 0);
    EXPECT_FALSE(run.backwards);
    const double at_stall = run.answers[size_t(2.4 * FRAME_RATE)];
    EXPECT_GE(at_stall, steady(2));
    EXPECT_LE(at_stall, steady(2) + PLAY_CLOCK_STALL * MIX_RATE + 1);
    // Caught up again within a second after it resumed.
    EXPECT_NEAR(run.answers.back(), heard(double(run.answers.size() - 1) / FRAME_RATE), 2.0);
}

TEST(PlayClock, AnUnderrunIsWaitedForNotSlewedAway) {
    // 20 ms of silence at 2 s: the device is 20 ms later from then on.
    auto heard = [](double t) {
        return t < 2 ? steady(t) : t < 2.02 ? steady(2) : steady(t - 0.02);
    };
    FakeDevice device{heard};
    ClockRun run = run_clock(device, 0, 4, 0.5);
    EXPECT_FALSE(run.backwards);
    // Ahead by the whole gap for a frame or two at most, then by less than
    // the hold limit, and in step within a millisecond a second later.
    for (size_t i = size_t(2.07 * FRAME_RATE); i < run.answers.size(); i++) {
        const double error = std::fabs(run.answers[i] - heard(double(i) / FRAME_RATE));
        ASSERT_LT(error, (i < 3 * FRAME_RATE ? PLAY_CLOCK_HOLD : 0.001) * MIX_RATE) << i;
    }
}

TEST(PlayClock, ADeviceClockOffByAThousandthIsFollowedWithoutDrift) {
    for (double skew : {1.001, 0.999}) {
        FakeDevice device{[skew](double t) { return steady(t) * skew; }};
        ClockRun run = run_clock(device, 0, 120, 2);
        EXPECT_FALSE(run.backwards);
        // The error stays under a millisecond: it does not grow with time.
        EXPECT_LT(run.worst_error, 0.001 * MIX_RATE) << "skew " << skew;
        const double end_error =
            run.answers.back() - device.heard(double(run.answers.size() - 1) / FRAME_RATE);
        const double start_error = run.answers[size_t(2 * FRAME_RATE)] - device.heard(2.0);
        EXPECT_LT(std::fabs(end_error - start_error), 0.002 * MIX_RATE) << "skew " << skew;
    }
}

TEST(PlayClock, NeverPastWhatWasWrittenNorBackwards) {
    PlayClock clock;
    play_clock_reset(&clock);
    EXPECT_EQ(play_clock_position(&clock, 1.0), 0) << "no report yet";
    play_clock_report(&clock, OutputReport{1.0, 0, 500});
    play_clock_report(&clock, OutputReport{1.01, 441, 500});
    // Run on with the clock, but stop at the 500 frames the device holds.
    EXPECT_EQ(play_clock_position(&clock, 1.01), 441);
    EXPECT_EQ(play_clock_position(&clock, 1.5), 500);
    // A count that goes back (a device that corrected itself) is no step
    // back: the position holds until the device passes it again.
    play_clock_report(&clock, OutputReport{1.6, 300, 5000});
    const double held = play_clock_position(&clock, 1.6);
    EXPECT_GE(held, 500);
    EXPECT_LE(held, 441 + PLAY_CLOCK_STALL * MIX_RATE);
    EXPECT_EQ(play_clock_position(&clock, 1.7), held);
    // Nor is a question about an earlier time.
    EXPECT_EQ(play_clock_position(&clock, 1.2), held);
    // A report older than the latest is ignored.
    play_clock_report(&clock, OutputReport{1.55, 4000, 5000});
    EXPECT_EQ(play_clock_delay(&clock), 4700);
}

TEST(PlayClock, ADeviceFarAheadIsMetAtOnce) {
    PlayClock clock;
    play_clock_reset(&clock);
    // Silent for the last second: 0.2 s ahead of the pace below is still
    // within real time since the device last had nothing played.
    play_clock_report(&clock, OutputReport{-1.0, 0, 100000});
    play_clock_report(&clock, OutputReport{0.01, 441, 100000});
    EXPECT_EQ(play_clock_position(&clock, 0.01), 441);
    // 0.2 s further than expected: a jump, not a 4-second chase.
    play_clock_report(&clock, OutputReport{0.02, 441 + 441 + 8820, 100000});
    EXPECT_EQ(play_clock_position(&clock, 0.02), 441 + 441 + 8820);
    // 50 ms further: worked off at the slewed pace, no jump.
    play_clock_report(&clock, OutputReport{0.03, 441 * 3 + 8820 + 2205, 100000});
    const double next = play_clock_position(&clock, 0.03);
    EXPECT_NEAR(next, 441 * 3 + 8820 + 441 * PLAY_CLOCK_SLEW, 1e-6);
}

// A device that takes frames 1 000 times faster than it plays them (ALSA's
// null device, a file) and counts them all as heard: the position keeps to
// real time since the device was last silent, 0.2 % and 0.1 s at most
// beyond it; a device that starts late is believed from when it started.
TEST(PlayClock, ADeviceFasterThanRealTimeIsHeldToTheClock) {
    for (double start : {0.0, 1.5}) {
        FakeDevice device{[start](double t) { return steady(t - start) * 1000; }};
        device.ahead = 0;
        ClockRun run = run_clock(device, 0, 20, 0);
        EXPECT_FALSE(run.backwards);
        for (size_t i = 0; i < run.answers.size(); i++) {
            const double t = double(i) / FRAME_RATE;
            const double limit =
                std::max(0.0, t - start + 0.01) * (1 + PLAY_CLOCK_FAST_LIMIT) * MIX_RATE +
                PLAY_CLOCK_FAST_SLACK * MIX_RATE;
            ASSERT_LE(run.answers[i], limit) << "at " << t << " s, start " << start;
            if (t > start + 0.5) {
                ASSERT_GE(run.answers[i], steady(t - start) - 0.02 * MIX_RATE)
                    << "at " << t << " s, start " << start;
            }
        }
    }
    // Once it has played, a count that drops to nothing does not restart
    // real time from there.
    PlayClock clock;
    play_clock_reset(&clock);
    play_clock_start(&clock, 0);
    play_clock_report(&clock, OutputReport{10, 441000, 450000});
    play_clock_report(&clock, OutputReport{10.01, 0, 450000});
    play_clock_report(&clock, OutputReport{10.02, 441000 + 882, 450000});
    EXPECT_EQ(play_clock_position(&clock, 10.02), 441000 + 882);
}

// ---- stamping a polled count --------------------------------------------

// Polls a device heard at `heard(t)`, counting in steps of `step` frames, at
// uneven intervals of 4 to 15 ms; checks each stamp against the time the
// device truly reached the count read (`reached`), from `settle` on. A stamp
// after the poll, or (at real time) before the truth, fails at once.
struct PollRun {
    double worst = 0;      // |stamp - truth| from settle on
    double poll_late = 0;  // mean of poll time - truth: what stamping by poll time would give
    double stamp_late = 0; // mean of stamp - truth
};
PollRun run_polls(const std::function<double(double)>& heard,
                  const std::function<double(int64_t, double)>& reached, int64_t step, double to,
                  double settle, bool real_time = true) {
    PollStamp stamp = {};
    PollRun run;
    int64_t n = 0;
    double t = 0.001;
    for (int64_t k = 0; t < to; k++) {
        const int64_t count = int64_t(std::floor(heard(t))) / step * step;
        const double stamped = output_stamp_poll(&stamp, t, count);
        if (count > 0) {
            const double truth = reached(count, t);
            if (real_time) { // a bound can only hold for a device at real time
                EXPECT_GE(stamped, truth - 1e-9) << "stamped before the count was reached, t " << t;
            }
            EXPECT_LE(stamped, t) << "stamped after the poll, t " << t;
            if (t > settle) {
                run.worst = std::max(run.worst, std::fabs(stamped - truth));
                run.poll_late += t - truth;
                run.stamp_late += stamped - truth;
                n++;
            }
        }
        t += 0.004 + 0.011 * std::fmod(double(k) * 0.6180339887, 1.0);
    }
    run.poll_late /= double(n);
    run.stamp_late /= double(n);
    return run;
}

double reached_at_real_time(int64_t count, double) {
    return double(count) / MIX_RATE;
}

TEST(PollStamp, StepsSeenLateAreStampedWhenTheyHappened) {
    // Wine's count: 10 ms (or 20 ms) at a time, seen up to 15 ms later.
    for (int64_t step : {441, 882}) {
        const PollRun run = run_polls(steady, reached_at_real_time, step, 10, 1);
        EXPECT_GT(run.poll_late, 0.004) << "step " << step; // what the poll's own time gives
        EXPECT_LT(run.stamp_late, 0.0005) << "step " << step;
        EXPECT_LT(run.worst, 0.002) << "step " << step;
    }
    // A count that moves smoothly, read at once, is stamped with the time read.
    const PollRun smooth = run_polls(steady, reached_at_real_time, 1, 10, 1);
    EXPECT_LT(smooth.worst, 2.0 / MIX_RATE);
}

TEST(PollStamp, ADeviceClockOffByAThousandthStaysWithinTwoMilliseconds) {
    for (double skew : {1.001, 0.999}) {
        const PollRun run = run_polls(
            [skew](double t) { return steady(t) * skew; },
            [skew](int64_t c, double) { return double(c) / MIX_RATE / skew; }, 441, 60, 1, false);
        EXPECT_LT(run.worst, 0.002) << "skew " << skew;
        EXPECT_LT(std::fabs(run.stamp_late), 0.001) << "skew " << skew;
    }
}

TEST(PollStamp, AStallOrACountThatDropsBackStartsTheBoundAfresh) {
    // The device stops at 3 s, for longer than a step or for much longer,
    // then goes on from where it was: no count is stamped before its time.
    for (double stall : {0.015, 0.2}) {
        const auto stalled = [stall](double t) {
            return steady(t < 3 ? t : t < 3 + stall ? 3 : t - stall);
        };
        const auto reached = [stall](int64_t c, double) {
            const double t = double(c) / MIX_RATE;
            return t <= 3 ? t : t + stall;
        };
        EXPECT_LT(run_polls(stalled, reached, 441, 6, 4).worst, 0.002) << "stall " << stall;
    }
    // An underrun: the count drops back 1 000 frames (23 ms) at 3 s.
    const auto dropped = [](double t) { return steady(t) - (t < 3 ? 0 : 1000); };
    const auto dropped_reached = [](int64_t c, double polled) {
        return double(c) / MIX_RATE + (polled < 3 ? 0 : 1000.0 / MIX_RATE);
    };
    EXPECT_LT(run_polls(dropped, dropped_reached, 441, 6, 4).worst, 0.002);
    // Nothing played yet: stamped as read.
    PollStamp stamp = {};
    EXPECT_EQ(output_stamp_poll(&stamp, 1.5, 0), 1.5);
}

} // namespace
