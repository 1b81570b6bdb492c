// Output driver: runs cut at tick boundaries, elapsed time, the TimeInfo
// ring and the position queries, the mixing thread against a test device
// whose play position the test moves, and the show time from the audio
// clock. (What a real device plays is checked
// against the offline render by the sync measurement, tests/sync.)
#include "music/mixer.h"
#include "music/output.h"
#include "music/output_device.h"
#include "music/play_clock.h"
#include "host/show_clock.h"
#include "show/show.h"
#include "tests/test_support.h"
#include <vlorp/xm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---- a device the test drives ---------------------------------------------

struct TestDevice {
    bool open_ok = true;
    int opens = 0, starts = 0, resets = 0, closes = 0;
    const int16_t* ring = nullptr;
    std::atomic<int64_t> position{0};
};
TestDevice dev;

const OutputDevice TEST_DEVICE = {
    [] { return ++dev.opens, dev.open_ok; },
    [](const int16_t* ring, int32_t) {
        dev.starts++;
        dev.ring = ring;
        dev.position = 0;
    },
    [] { return dev.position.load(); },
    [] {
        dev.resets++;
        volatile int16_t touch = dev.ring[0]; // the ring must still exist (ASan)
        (void)touch;
        dev.ring = nullptr;
    },
    [] { dev.closes++; },
    nullptr,
    [] { return "test device refused"; },
    nullptr,
};

// ---- scripted tick handlers ---------------------------------------------

std::vector<int32_t> tick_lengths; // frames of each tick; the last one repeats
int tick_calls = 0;
std::atomic<int> ticks_seen{0}; // tick_calls, for waiting on from another thread

void scripted_tick(Song*) {
    size_t i =
        size_t(tick_calls) < tick_lengths.size() ? size_t(tick_calls) : tick_lengths.size() - 1;
    playback.samples_per_tick = tick_lengths[i];
    playback.row = tick_calls; // the position the TimeInfo ring records
    playback.order = tick_calls / 3;
    tick_calls++;
    ticks_seen = tick_calls;
}

Song* load_song(void (*handler)(Song*)) {
    XmModuleDef m = test_module(8, 64);
    std::vector<int16_t> wave(200);
    for (size_t i = 0; i < wave.size(); i++) wave[i] = int16_t((i * 7 % 200) - 100);
    m.instruments.push_back(test_instrument(wave));
    m.instruments[0].samples[0].loop = 2;
    m.instruments[0].samples[0].loop_start = 20;
    m.instruments[0].samples[0].loop_length = 150;
    Song* song = test_load_module(m);
    if (song) song->tick_handler = handler;
    return song;
}

class Output : public ::testing::Test {
  protected:
    Song* song = nullptr;
    void SetUp() override {
        tick_lengths = {875};
        tick_calls = 0;
        dev.open_ok = true;
        dev.opens = dev.starts = dev.resets = dev.closes = 0;
        dev.position = 0;
        output_set_device(&TEST_DEVICE);
        song = load_song(scripted_tick);
        ASSERT_NE(song, nullptr);
    }
    void TearDown() override {
        song_free(song);
        output_set_device(nullptr);
    }
};

template <class Cond> bool wait_for(Cond cond) {
    for (int i = 0; i < 400; i++) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// ---- block filler --------------------------------------------------------

TEST_F(Output, BlocksAreCutAtTickBoundariesAndTheRemainderCarries) {
    ASSERT_TRUE(output_offline_start(song));
    EXPECT_EQ(BLOCK_FRAMES, 884);
    EXPECT_EQ(BLOCK_COUNT, 100);
    TimeInfo info{};
    output_offline_mix_block(&info);
    EXPECT_EQ(tick_calls, 2); // ticks start at frames 0 and 875
    EXPECT_EQ(output_tick_frames_left(), 2 * 875 - 884);
    for (int b = 1; b < 100; b++) output_offline_mix_block(&info);
    EXPECT_EQ(tick_calls, (100 * 884 + 874) / 875);
    EXPECT_EQ(output_tick_frames_left(), tick_calls * 875 - 100 * 884);
    EXPECT_EQ(info.row, uint8_t(tick_calls - 1));
    player_stop(song);
}

TEST_F(Output, VoiceChangesTakeEffectOnTheTickFrame) {
    static Sample dc{};
    dc.data = sample_data_alloc(64);
    for (int i = 0; i <= 64; i++) dc.data[i] = 1000; // with the loop's guard frame
    dc.length = dc.loop_length = 64;
    dc.loop_type = LOOP_FORWARD;
    song->tick_handler = [](Song*) {
        playback.samples_per_tick = 875;
        if (playback.tick++ == 1) { // second tick: a note at full gain, no ramp
            voices[0].sample = &dc;
            voices[0].direction = DIR_FORWARD;
            voices[0].target_left = voices[0].target_right = 255;
            voices[0].ramp_target_left = voices[0].ramp_target_right = 255;
            voices[0].current_left = voices[0].current_right = 255 * 256;
        }
    };
    ASSERT_TRUE(output_offline_start(song));
    const int16_t* pcm = output_offline_mix_block(nullptr);
    EXPECT_EQ(pcm[2 * 874], 0);
    EXPECT_EQ(pcm[2 * 875], 1000);
    EXPECT_EQ(pcm[2 * 883 + 1], 1000);
    player_stop(song);
    sample_data_free(dc.data);
}

TEST_F(Output, ElapsedTimeTruncatesEachRun) {
    tick_lengths = {400, 100000};
    ASSERT_TRUE(output_offline_start(song));
    TimeInfo info{};
    output_offline_mix_block(&info);
    EXPECT_EQ(info.elapsed_ms, 9 + 10);
    output_offline_mix_block(&info);
    EXPECT_EQ(info.elapsed_ms, 19 + 20); // a plain block adds 20, not 20.045
    player_stop(song);

    tick_lengths = {882, 100000};
    tick_calls = 0;
    ASSERT_TRUE(output_offline_start(song));
    output_offline_mix_block(&info);
    EXPECT_EQ(info.elapsed_ms, 19); // 882 frames are 19.9999996 ms in single precision
    EXPECT_EQ(output_elapsed_ms(), 19);
    player_stop(song);

    // Past 2^31 ms (24.8 days, within render's -t limit) the count wraps.
    tick_lengths = {400, 100000};
    tick_calls = 0;
    ASSERT_TRUE(output_offline_start(song));
    output_set_elapsed_ms(INT32_MAX - 5);
    output_offline_mix_block(&info);
    EXPECT_EQ(info.elapsed_ms, INT32_MIN + 13);
    player_stop(song);
}

TEST_F(Output, OfflineStartResetsThePlaybackState) {
    ASSERT_TRUE(output_offline_start(song));
    output_offline_mix_block(nullptr);
    ASSERT_NE(output_tick_frames_left(), 0);
    ASSERT_NE(output_elapsed_ms(), 0);
    player_stop(song);
    playback.row = 7;
    playback.global_volume_slide_memory = 0x21; // an earlier play's memory
    playback.repeated = 1;
    voices[3].sample = &empty_sample;
    channels[2].voice = nullptr;
    ASSERT_TRUE(output_offline_start(song));
    EXPECT_EQ(playback.row, 0);
    EXPECT_EQ(playback.next_row, -1);
    EXPECT_EQ(playback.global_volume_slide_memory, 0);
    EXPECT_EQ(player_repeat_frame(), -1);
    EXPECT_EQ(output_tick_frames_left(), 0);
    EXPECT_EQ(output_elapsed_ms(), 0);
    EXPECT_EQ(playback.samples_per_tick, 882); // the module's 125 bpm
    EXPECT_EQ(playback.global_volume, 64);
    EXPECT_EQ(voices[3].sample, nullptr);
    EXPECT_EQ(voices[3].index, 3);
    EXPECT_EQ(voices[3].step_int, 1u);
    EXPECT_EQ(channels[2].voice, &voices[2]);
    // A block for no buffer is refused and mixes nothing; one for a buffer
    // fills it and its TimeInfo like the engine's own block. (The scripted
    // ticks count from this play's first block.)
    tick_calls = 0;
    int16_t pcm[2 * BLOCK_FRAMES];
    TimeInfo info{};
    EXPECT_FALSE(output_offline_mix_block_into(nullptr, &info));
    EXPECT_EQ(output_mix_block_index(), 0);
    std::fill(std::begin(pcm), std::end(pcm), int16_t(0x5555));
    EXPECT_TRUE(output_offline_mix_block_into(pcm, &info));
    EXPECT_EQ(output_mix_block_index(), 1);
    EXPECT_EQ(info.row, 1); // the block's second tick (875 + 9 frames)
    EXPECT_EQ(info.elapsed_ms, 19);
    EXPECT_EQ(pcm[0], 0); // no voice plays
    EXPECT_EQ(pcm[2 * BLOCK_FRAMES - 1], 0);
    player_stop(song);
    EXPECT_EQ(output_offline_mix_block(nullptr), nullptr);
    EXPECT_FALSE(output_offline_mix_block_into(pcm, &info));
}

// ---- playback control and queries ----------------------------------------

TEST_F(Output, QueriesAnswerZeroWhenNothingPlays) {
    EXPECT_EQ(player_get_order(song), 0);
    EXPECT_EQ(player_get_row(song), 0);
    EXPECT_FALSE(player_play(nullptr));
    EXPECT_FALSE(player_stop(nullptr));
    ASSERT_TRUE(player_play(song));
    EXPECT_EQ(player_get_row(nullptr), 0);
    EXPECT_FALSE(player_play(nullptr)); // and playback goes on
    EXPECT_FALSE(player_stop(nullptr));
    EXPECT_EQ(dev.resets, 0);
    EXPECT_TRUE(player_stop(song));
    EXPECT_EQ(player_get_order(song), 0);
    EXPECT_EQ(player_get_row(song), 0);
}

TEST_F(Output, PlayPreFillsTheRingAndReportsTheFirstBlock) {
    tick_lengths = {3000}; // rows longer than a block
    ASSERT_TRUE(player_play(song));
    EXPECT_EQ(dev.opens, 1);
    EXPECT_EQ(dev.starts, 1);
    EXPECT_EQ(tick_calls, (100 * 884 + 2999) / 3000); // the whole ring, on this thread
    EXPECT_EQ(player_get_row(song), 0);
    EXPECT_EQ(player_get_order(song), 0);
    EXPECT_EQ(output_mix_block_index(), 0);
    player_stop(song);
    EXPECT_EQ(dev.resets, 1);
    EXPECT_EQ(dev.closes, 1);
}

TEST_F(Output, TheThreadCatchesUpBehindTheCursor) {
    tick_lengths = {884}; // one tick per block: the row is the block's number
    ASSERT_TRUE(player_play(song));
    dev.position = 5 * 884 + 100; // the device is in block 5
    ASSERT_TRUE(wait_for([] { return output_mix_block_index() == 5; }));
    EXPECT_EQ(output_audible_block_index(), 5);
    EXPECT_EQ(player_get_row(song), 5); // mixed one ring ago
    EXPECT_EQ(tick_calls, 105);
    dev.position = RING_FRAMES + 2 * 884; // past the ring's end: blocks 5..99, 0, 1
    ASSERT_TRUE(wait_for([] { return output_mix_block_index() == 2; }));
    EXPECT_EQ(output_audible_block_index(), 2);
    EXPECT_EQ(tick_calls, 202);
    EXPECT_EQ(player_get_row(song), 102);
    EXPECT_EQ(player_get_order(song), 102 / 3);
    player_stop(song);
}

// waveOut's position is a 32-bit count; the driver works on a 64-bit one.
TEST(OutputUnwrap, AWrapOfTheDeviceCountIsOneMoreStep) {
    CountUnwrap unwrap = {0, 0};
    EXPECT_EQ(output_unwrap_count(&unwrap, 1000), 1000u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 1000), 1000u); // no progress, no step
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x7FFFFF80u), 0x7FFFFF80u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0xFFFFFF00u), 0xFFFFFF00u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0u), 0x100000000u); // the wrap itself
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x100u), 0x100000100u);
    // A second wrap, in steps of just under half the count's range.
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x80000000u), 0x180000000u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0xFFFFFF80u), 0x1FFFFFF80u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x7FFFFF00u), 0x27FFFFF00u);
}

// waveOut's count drops back at an underrun: a step back of a few frames,
// which the refill waits out, not a wrap 27 hours on that would stop it.
TEST(OutputUnwrap, ACountThatDropsBackIsAStepBackNotAWrap) {
    CountUnwrap unwrap = {0, 0};
    EXPECT_EQ(output_unwrap_count(&unwrap, 5000), 5000u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 4999), 4999u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 5100), 5100u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x70000000u), 0x70000000u);
    // Just under half the range back, then forward again.
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x10000001u), 0x10000001u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x90000000u), 0x90000000u);
    // Across the wrap, back and forth.
    EXPECT_EQ(output_unwrap_count(&unwrap, 0xFFFFFFF0u), 0xFFFFFFF0u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x10u), 0x100000010u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0xFFFFFFF8u), 0xFFFFFFF8u);
    EXPECT_EQ(output_unwrap_count(&unwrap, 0x20u), 0x100000020u);
    // Below the start: negative, read as a signed count.
    unwrap = CountUnwrap{0, 0};
    EXPECT_EQ(int64_t(output_unwrap_count(&unwrap, 0xFFFFFFFFu)), -1);
    EXPECT_EQ(output_unwrap_count(&unwrap, 3), 3u);
}

// An ALSA delay that grows by a frame while a server recovers, across the
// start of a block: the device has still left the blocks before, and none
// is mixed again until it passes the furthest point it reached.
TEST_F(Output, APositionThatStepsBackRefillsNothingUntilItPassesAgain) {
    tick_lengths = {884}; // one tick per block: the row is the block's number
    ASSERT_TRUE(player_play(song));
    dev.position = 5 * 884;
    ASSERT_TRUE(wait_for([] { return ticks_seen == 105; }));
    dev.position = 5 * 884 - 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(tick_calls, 105) << "a step back mixed blocks";
    EXPECT_EQ(output_mix_block_index(), 5);
    dev.position = 3 * 884; // further back
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(tick_calls, 105);
    dev.position = 5 * 884 + 883; // forward again, still within block 5
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(tick_calls, 105);
    EXPECT_EQ(player_get_row(song), 5);
    dev.position = 6 * 884; // past it: one block, once
    ASSERT_TRUE(wait_for([] { return ticks_seen == 106; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(tick_calls, 106);
    EXPECT_EQ(output_mix_block_index(), 6);
    EXPECT_EQ(player_get_row(song), 6);
    player_stop(song);
}

// A device that ran on over stale blocks while the mixing was held up (or
// that consumes faster than it plays): every block it has left is mixed,
// in order, in one pass, and the ring is again a ring ahead of it.
TEST_F(Output, ADeviceAheadOfTheMixingIsCaughtUpWith) {
    tick_lengths = {884};
    ASSERT_TRUE(player_play(song));
    dev.position = 250 * 884 + 10; // two and a half rings on
    ASSERT_TRUE(wait_for([] { return ticks_seen == 350; })) << ticks_seen.load();
    EXPECT_EQ(output_mix_block_index(), 50);
    EXPECT_EQ(output_audible_block_index(), 50);
    EXPECT_EQ(player_get_row(song), 250); // the block it plays is the song's block 250
    dev.position = 251 * 884;
    ASSERT_TRUE(wait_for([] { return ticks_seen == 351; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(tick_calls, 351);
    EXPECT_EQ(player_get_row(song), 251);
    player_stop(song);
}

// waveOut plays the ring as one looping buffer at the device's pace, which
// may be far beyond real time (Wine into a null sink): the refill follows
// what the device consumes, so every block it plays is the song's next,
// never one left from a ring before. The device moves 60 blocks (1.2 s) at
// every poll, 240 times real time.
std::atomic<int64_t> fast_position{0};
std::atomic<int64_t> fast_polls{0};
std::atomic<bool> fast_stale{false};
const OutputDevice FAST_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) { fast_position = 0; },
    [] { // on the mixing thread, as the tick handler: tick_calls is the blocks mixed
        const int64_t from = fast_position.load(), to = from + 60 * 884;
        const int64_t mixed = tick_calls;
        // It plays blocks from/884 .. (to-1)/884: each mixed, none overwritten.
        if (mixed < (to + 883) / 884 || mixed > from / 884 + BLOCK_COUNT) fast_stale = true;
        fast_position = to;
        fast_polls++;
        return to;
    },
    [] {},
    [] {},
    nullptr,
    [] { return ""; },
    nullptr,
};

TEST_F(Output, TheRefillFollowsADeviceFasterThanRealTime) {
    tick_lengths = {884};
    output_set_device(&FAST_DEVICE);
    fast_polls = 0;
    fast_stale = false;
    ASSERT_TRUE(player_play(song));
    ASSERT_TRUE(wait_for([] { return fast_polls >= 40; }));
    player_stop(song);
    EXPECT_FALSE(fast_stale) << "the device played a block not mixed for it";
    EXPECT_GE(tick_calls, 40 * 60);
}

TEST_F(Output, PlayingTwiceRestartsWithOneThread) {
    int before = thread_count();
    ASSERT_TRUE(player_play(song));
    EXPECT_EQ(thread_count(), before + 1);
    dev.position = 3 * 884;
    ASSERT_TRUE(wait_for([] { return output_mix_block_index() == 3; }));
    tick_calls = 0;
    ASSERT_TRUE(player_play(song));
    EXPECT_EQ(thread_count(), before + 1);
    EXPECT_EQ(output_mix_block_index(), 0);
    EXPECT_EQ(dev.opens, 2);
    EXPECT_EQ(dev.closes, 1);
    EXPECT_EQ(player_get_row(song), 1); // from the beginning again
    player_stop(song);
    EXPECT_EQ(thread_count(), before);
}

TEST_F(Output, AFailedStartIsTidiedByTheNextStop) {
    dev.open_ok = false;
    EXPECT_FALSE(player_play(song));
    EXPECT_STREQ(output_device_error(), "test device refused");
    EXPECT_EQ(dev.starts, 0);
    EXPECT_EQ(player_get_row(song), 0);
    EXPECT_TRUE(player_stop(song));
    EXPECT_EQ(dev.resets, 0);
    EXPECT_EQ(dev.closes, 0);
    dev.open_ok = true;
    EXPECT_TRUE(player_play(song));
    player_stop(song);
}

TEST_F(Output, IncompleteStreamCallbacksRefusePlay) {
    stream_set_callbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(player_play(song));
    EXPECT_FALSE(output_offline_start(song));
    EXPECT_EQ(dev.opens, 0);
    EXPECT_EQ(player_get_row(song), 0);
}

TEST_F(Output, FreeingThePlayingSongStopsIt) {
    ASSERT_TRUE(player_play(song));
    dev.position = 50 * 884;
    EXPECT_TRUE(song_free(song));
    song = nullptr;
    EXPECT_EQ(dev.closes, 1);
    EXPECT_EQ(output_mix_block_index(), 0);
    EXPECT_FALSE(song_free(nullptr));
}

// ---- the show time against a device that starts late -------------------

std::atomic<double> fake_now{0};
double fake_clock() {
    return fake_now.load();
}
// Plays from `late_start` on, at exactly MIX_RATE, 60 ms written ahead.
std::atomic<double> late_start{0};
std::atomic<bool> late_stops{false}; // stops for good 10 s in
int64_t late_heard() {
    double t = fake_now.load() - late_start.load();
    if (late_stops && t > 10) t = 10;
    return t > 0 ? int64_t(t * MIX_RATE) : 0;
}
const OutputDevice NO_DEVICE = {
    [] { return false; },  nullptr, nullptr, nullptr, nullptr, nullptr,
    [] { return "none"; }, nullptr,
};
const OutputDevice LATE_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) {},
    [] { return late_heard(); },
    [] {},
    [] {},
    nullptr,
    [] { return ""; },
    [](OutputReport* report) {
        *report = OutputReport{fake_now.load(), late_heard(), late_heard() + 2646};
        return true;
    },
};

struct ShowRun {
    double end;    // fake seconds since play when the show time reached 120 s
    double waited; // fake seconds the show time stayed at 0
    bool backwards = false;
    bool moved = false; // a frame drew another position than order 0, row 0
};

// The show holds its song through the library's handle.
vlorp_xm_module* load_show_module(int32_t rows, size_t orders) {
    XmModuleDef m = test_module(4, rows);
    m.orders.assign(orders, 0);
    m.instruments.push_back(test_instrument(std::vector<int16_t>(200, 100)));
    const std::vector<uint8_t> bytes = xm_write(m);
    vlorp_xm_module* module = nullptr;
    EXPECT_EQ(vlorp_xm_load_memory(bytes.data(), bytes.size(), &module), VLORP_XM_OK);
    return module;
}

ShowRun run_show(vlorp_xm_module* module) {
    fake_now = 1000.0;
    EXPECT_TRUE(vlorp_xm_play(module) == VLORP_XM_OK || vlorp_xm_device_error()[0]);
    ShowClock clock;
    show_clock_start(&clock, vlorp_xm_clock());
    ShowRun run = {0, 0};
    double last = 0;
    for (int frame = 1; frame < 200 * 60; frame++) {
        fake_now = 1000.0 + frame / 60.0;
        const ShowFrameTime at = show_clock_frame(&clock, module, fake_now);
        if (at.show_time < last) run.backwards = true;
        if (at.show_time == 0) run.waited = fake_now - 1000.0;
        if (at.order != 0 || at.row != 0) run.moved = true;
        last = at.show_time;
        if (at.show_time >= SHOW_LENGTH) break;
    }
    run.end = fake_now - 1000.0;
    vlorp_xm_stop(module);
    return run;
}

TEST(ShowTime, TheShowEnds120SecondsAfterTheFirstFramePlayed) {
    output_set_clock(fake_clock);
    output_set_device(&LATE_DEVICE);
    vlorp_xm_module* module = load_show_module(64, 1);
    ASSERT_NE(module, nullptr);

    late_start = 1000.0 + 1.5; // the device starts 1.5 s after play
    ShowRun run = run_show(module);
    EXPECT_FALSE(run.backwards);
    EXPECT_NEAR(run.waited, 1.5, 1 / 60.0) << "the picture waits for the sound";
    EXPECT_NEAR(run.end, 121.5, 1 / 60.0 + 1e-9);
    EXPECT_TRUE(run.moved);

    // A device that stops for good: the show goes on by the system clock
    // once it has waited AUDIO_STALL_LIMIT, and still ends.
    late_stops = true;
    run = run_show(module);
    late_stops = false;
    EXPECT_FALSE(run.backwards);
    EXPECT_NEAR(run.end, 1.5 + SHOW_LENGTH + AUDIO_STALL_LIMIT, 0.1);

    // No device at all: the system clock from the start of play, the song
    // standing at its start.
    output_set_device(&NO_DEVICE);
    run = run_show(module);
    EXPECT_NEAR(run.end, SHOW_LENGTH, 1 / 60.0 + 1e-9);
    EXPECT_LT(run.waited, 1 / 60.0 + 1e-9);
    EXPECT_FALSE(run.moved);

    EXPECT_EQ(vlorp_xm_free(module), VLORP_XM_OK);
    output_set_device(nullptr);
    output_set_clock(nullptr);
}

// A device that takes the music 30 times faster than it plays it (a null
// sink behind Wine's waveOut) and says all of it was heard: the show still
// runs at the clock's pace and ends 120 s after the music started, not on
// its first frame, and its orders and rows stay those of the song's start
// while the mixing runs far beyond what the history of blocks holds.
std::atomic<double> fast_start{0};
int64_t fast_heard() {
    const double t = fake_now.load() - fast_start.load();
    return t > 0 ? int64_t(t * 30 * MIX_RATE) : 0;
}
const OutputDevice RUSHING_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) {},
    [] { return fast_heard(); },
    [] {},
    [] {},
    nullptr,
    [] { return ""; },
    [](OutputReport* report) {
        *report = OutputReport{fake_now.load(), fast_heard(), fast_heard() + 2646};
        return true;
    },
};

TEST(ShowTime, ADeviceFasterThanRealTimeIsHeldToTheClock) {
    output_set_clock(fake_clock);
    output_set_device(&RUSHING_DEVICE);
    vlorp_xm_module* module = load_show_module(64, 1);
    ASSERT_NE(module, nullptr);
    fast_start = 1000.0 + 0.5;
    const ShowRun run = run_show(module);
    EXPECT_FALSE(run.backwards);
    EXPECT_NEAR(run.waited, 0.5, 1 / 60.0);
    // Up to 0.2 % and 0.1 s sooner than real time allows, never more.
    EXPECT_GE(run.end, 0.5 + SHOW_LENGTH / 1.002 - PLAY_CLOCK_FAST_SLACK - 1 / 60.0);
    EXPECT_LE(run.end, 0.5 + SHOW_LENGTH + 1 / 60.0 + 1e-9);
    EXPECT_TRUE(run.moved);
    EXPECT_EQ(vlorp_xm_free(module), VLORP_XM_OK);
    output_set_device(nullptr);
    output_set_clock(nullptr);
}

// Frames that take 40 ms from being asked for to appearing, but the first
// (which pays for work done once) 100 ms and one later 90 ms: from the third
// frame on, each shows what is heard when it appears. (The lead used to be
// learnt from 0 a tenth at a time: the picture started 36 ms behind and took
// a second to catch up; averaged from the first frame, it ran 30 ms ahead.)
TEST(ShowTime, FramesShowWhatIsHeardWhenTheyAppearFromTheThirdOn) {
    output_set_clock(fake_clock);
    output_set_device(&LATE_DEVICE);
    vlorp_xm_module* module = load_show_module(64, 1);
    ASSERT_NE(module, nullptr);
    fake_now = 1000.0;
    late_start = 1000.0;
    ASSERT_EQ(vlorp_xm_play(module), VLORP_XM_OK);
    ShowClock clock;
    show_clock_start(&clock, vlorp_xm_clock());
    for (int frame = 0; frame < 40; frame++) {
        const double asked = 1000.5 + frame * 0.1;
        const double shown = asked + (frame == 0 ? 0.1 : frame == 20 ? 0.09 : 0.04);
        fake_now = asked;
        const ShowFrameTime at = show_clock_frame(&clock, module, asked);
        fake_now = shown;
        show_clock_shown(&clock, asked, shown);
        if (frame >= 2 && frame != 20) {
            EXPECT_NEAR(at.show_time, shown - 1000.0, 0.001) << "frame " << frame;
        }
    }
    vlorp_xm_stop(module);
    vlorp_xm_free(module);
    output_set_device(nullptr);
    output_set_clock(nullptr);
}

// The order and row a frame draws are those of the block it hears, as the
// offline render records that block: not the block mixed last (two seconds
// ahead) nor the one before. A song of 4-row patterns moves on every
// 0.48 s, so a block off shows within the first two seconds.
TEST(ShowTime, FramesDrawTheOrderAndRowOfTheBlockHeard) {
    vlorp_xm_module* module = load_show_module(4, 8);
    ASSERT_NE(module, nullptr);
    constexpr int32_t BLOCKS = 100; // what play mixes before the device starts
    std::vector<int16_t> pcm(size_t(BLOCKS) * VLORP_XM_BLOCK_FRAMES * 2);
    std::vector<vlorp_xm_block_info> blocks(BLOCKS);
    ASSERT_EQ(vlorp_xm_render_start(module, 0), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_render(module, pcm.data(), BLOCKS, blocks.data()), BLOCKS);
    ASSERT_EQ(vlorp_xm_render_stop(module), VLORP_XM_OK);

    output_set_clock(fake_clock);
    output_set_device(&LATE_DEVICE);
    fake_now = 1000.0;
    late_start = 1000.0;
    ASSERT_EQ(vlorp_xm_play(module), VLORP_XM_OK);
    ShowClock clock;
    show_clock_start(&clock, vlorp_xm_clock());
    int32_t orders_seen = 0, last_order = -1;
    for (int frame = 0; frame < 110; frame++) {
        fake_now = 1000.0 + frame * 0.017;
        const ShowFrameTime at = show_clock_frame(&clock, module, fake_now);
        const int64_t block = int64_t(at.heard.frames) / VLORP_XM_BLOCK_FRAMES;
        ASSERT_LT(block, BLOCKS);
        EXPECT_EQ(at.order, blocks[size_t(block)].order) << "frame " << frame;
        EXPECT_EQ(at.row, blocks[size_t(block)].row) << "frame " << frame;
        EXPECT_EQ(at.heard.order, at.order);
        if (at.order != last_order) orders_seen++;
        last_order = at.order;
    }
    EXPECT_GE(orders_seen, 4);
    vlorp_xm_stop(module);
    vlorp_xm_free(module);
    output_set_device(nullptr);
    output_set_clock(nullptr);
}

} // namespace
