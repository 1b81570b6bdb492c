// The public calls racing the mixing thread: play, the position queries,
// stop and free from the main thread while the thread refills blocks. Run
// under ThreadSanitizer in CI; a device that plays at the real rate by the
// steady clock stands in for a sound card.
#include "music/output.h"
#include "music/output_device.h"
#include "tests/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace {

Song* load_busy_song() {
    XmModuleDef m = test_module(4, 16);
    m.speed = 1;
    m.bpm = 255;
    for (int row = 0; row < 16; row++)
        for (int ch = 0; ch < 4; ch++)
            xm_cell(m.patterns[0], 4, row, ch) = {uint8_t(30 + row + ch), 1, 0, 0, 0};
    std::vector<int16_t> pcm(256);
    for (size_t i = 0; i < pcm.size(); i++) pcm[i] = int16_t(int(i % 32) * 4 - 64);
    m.instruments.push_back(test_instrument(pcm));
    m.instruments[0].samples[0].loop = 1;
    m.instruments[0].samples[0].loop_length = 256;
    return test_load_module(m);
}

std::atomic<double> clock_device_start{0};
const OutputDevice CLOCK_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) { clock_device_start = output_clock_seconds(); },
    [] { return int64_t((output_clock_seconds() - clock_device_start) * MIX_RATE); },
    [] {},
    [] {},
    nullptr,
    [] { return ""; },
    nullptr,
};

class Threads : public ::testing::Test {
  protected:
    void SetUp() override {
        output_set_device(&CLOCK_DEVICE);
        song = load_busy_song();
        ASSERT_NE(song, nullptr);
        if (!player_play(song)) {
            song_free(song);
            song = nullptr;
            GTEST_SKIP() << "no audio device: " << output_device_error();
        }
    }
    void TearDown() override {
        if (song) song_free(song);
        output_set_device(nullptr);
    }
    Song* song = nullptr;
};

} // namespace

TEST_F(Threads, ThousandPlayStopCyclesWithQueries) {
    int seen_rows = 0;
    for (int cycle = 0; cycle < 1000; cycle++) {
        ASSERT_TRUE(player_play(song)) << "cycle " << cycle;
        for (int q = 0; q < 3; q++) {
            seen_rows += player_get_row(song) + player_get_order(song);
            OutputPosition position;
            EXPECT_TRUE(output_position(output_clock_seconds(), &position));
            seen_rows += position.row;
        }
        if (cycle % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_TRUE(player_stop(song));
        EXPECT_EQ(player_get_row(song), 0);
        EXPECT_EQ(output_mix_block_index(), 0);
    }
    EXPECT_GE(seen_rows, 0);
}

TEST_F(Threads, QueriesFollowTheThreadAndFreeStopsIt) {
    int last = -1, changes = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    while (std::chrono::steady_clock::now() < until) {
        int row = player_get_row(song);
        EXPECT_GE(row, 0);
        EXPECT_LT(row, 16);
        if (row != last) changes++;
        last = row;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(changes, 1) << "the audible row moves while the thread runs";
    // Freeing a playing song waits for the thread to finish its block, then stops it.
    EXPECT_TRUE(song_free(song));
    song = nullptr;
    EXPECT_EQ(player_get_order(nullptr), 0);
}

TEST_F(Threads, RestartWhilePlayingAndFreeAnotherSong) {
    for (int i = 0; i < 50; i++) {
        Song* other = load_busy_song();
        ASSERT_NE(other, nullptr);
        ASSERT_TRUE(player_play(song));
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
        // Freeing any song stops whatever plays, as the stop does.
        EXPECT_TRUE(song_free(other));
        EXPECT_EQ(player_get_row(song), 0);
    }
}

namespace {

// A device that plays until it "disappears": its position stops moving, as
// when a sound card is unplugged and its callback is never called again.
std::atomic<int64_t> lost_position{0};
std::atomic<int64_t> lost_polls{0};
const OutputDevice LOST_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) { lost_position = 0; },
    [] {
        lost_polls++;
        return lost_position.load();
    },
    [] {},
    [] {},
    nullptr,
    [] { return ""; },
    nullptr,
};

} // namespace

TEST(DeviceLoss, AFrozenDeviceNeitherSpinsNorBlocksTheStop) {
    output_set_device(&LOST_DEVICE);
    Song* song = load_busy_song();
    ASSERT_NE(song, nullptr);
    ASSERT_TRUE(player_play(song));
    lost_position = 10 * BLOCK_FRAMES + 1; // ten blocks heard, then nothing more
    for (int i = 0; i < 400 && output_mix_block_index() != 10; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(output_mix_block_index(), 10) << "the thread refills what was heard";
    int64_t polls = lost_polls;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Polling every few milliseconds is some tens of polls; a spinning thread makes millions.
    EXPECT_LT(lost_polls - polls, 200);
    EXPECT_EQ(output_mix_block_index(), 10) << "nothing is mixed while nothing plays";
    EXPECT_TRUE(player_stop(song));
    EXPECT_TRUE(song_free(song));
    output_set_device(nullptr);
}
