// Valid but extreme modules: every block must still cost bounded work, and
// playback must keep moving. A hang or a runaway loop shows up as the test
// timing out; wrong bookkeeping as a failed expectation.
#include "music/output.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

struct Played {
    int blocks = 0;
    int max_order = 0;
    int orders_seen = 0;
    bool any_sound = false;
};

// Plays `blocks` blocks offline and records where the song went.
Played play(Song* song, int blocks) {
    Played p;
    EXPECT_TRUE(output_offline_start(song));
    bool seen[256] = {};
    for (int b = 0; b < blocks; b++) {
        TimeInfo info;
        const int16_t* pcm = output_offline_mix_block(&info);
        for (int i = 0; i < 2 * 884 && !p.any_sound; i++) p.any_sound = pcm[i] != 0;
        if (!seen[info.order]) p.orders_seen++;
        seen[info.order] = true;
        if (info.order > p.max_order) p.max_order = info.order;
        p.blocks++;
    }
    player_stop(song);
    return p;
}

XmInstrumentDef looped_instrument(int length, uint8_t loop) {
    std::vector<int16_t> pcm(static_cast<size_t>(length));
    for (int i = 0; i < length; i++) pcm[size_t(i)] = int16_t(i % 2 ? 100 : -100);
    XmInstrumentDef ins = test_instrument(pcm);
    ins.samples[0].loop = loop;
    ins.samples[0].loop_start = 0;
    ins.samples[0].loop_length = uint32_t(length);
    for (uint8_t& k : ins.keymap) k = 0;
    return ins;
}

} // namespace

TEST(Pathological, LongestSlowestSongStaysBoundedPerBlock) {
    // 256 orders of 256-row patterns at speed 31, bpm 32: about 44 hours long.
    XmModuleDef m = test_module(2, 256);
    m.speed = 31;
    m.bpm = 32;
    m.orders.assign(256, 0);
    xm_cell(m.patterns[0], 2, 0, 0) = {49, 1, 0, 0, 0};
    m.instruments.push_back(looped_instrument(64, 1));
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Played p = play(song, 400);
    EXPECT_TRUE(p.any_sound);
    EXPECT_EQ(p.max_order, 0);
    song_free(song);
}

TEST(Pathological, ThirtyTwoChannelsRetriggeringEveryTick) {
    XmModuleDef m = test_module(32, 64);
    m.speed = 31;
    m.bpm = 255;
    for (int row = 0; row < 64; row++)
        for (int ch = 0; ch < 32; ch++)
            xm_cell(m.patterns[0], 32, row, ch) = {uint8_t(1 + (row + ch) % 96), 1, 0, 0x1B /* R */,
                                                   0x81};
    m.instruments.push_back(looped_instrument(16, 2));
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Played p = play(song, 300);
    EXPECT_TRUE(p.any_sound);
    song_free(song);
}

TEST(Pathological, SpeedZeroMakesEveryTickARow) {
    XmModuleDef m = test_module(1, 64);
    m.orders = {0, 0, 0};
    xm_cell(m.patterns[0], 1, 0, 0) = {49, 1, 0, 0x0F, 0x00};
    m.instruments.push_back(looped_instrument(32, 1));
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Played p = play(song, 200);
    EXPECT_TRUE(p.any_sound);
    song_free(song);
}

TEST(Pathological, NestedLoopsAcrossChannelsKeepMoving) {
    // Pattern loops on three channels at once, nested inside each other.
    XmModuleDef m = test_module(3, 8);
    m.speed = 1;
    for (int ch = 0; ch < 3; ch++) {
        xm_cell(m.patterns[0], 3, ch, ch) = {0, 0, 0, 0x0E, 0x60};
        xm_cell(m.patterns[0], 3, 7 - ch, ch) = {0, 0, 0, 0x0E, uint8_t(0x61 + ch)};
    }
    xm_cell(m.patterns[0], 3, 0, 0).note = 49;
    xm_cell(m.patterns[0], 3, 0, 0).instrument = 1;
    m.instruments.push_back(looped_instrument(8, 1));
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    ASSERT_TRUE(output_offline_start(song));
    bool rows_seen[8] = {};
    for (int b = 0; b < 300; b++) {
        TimeInfo info;
        output_offline_mix_block(&info);
        ASSERT_LT(info.row, 8);
        rows_seen[info.row] = true;
    }
    player_stop(song);
    for (int row = 0; row < 8; row++) EXPECT_TRUE(rows_seen[row]) << "row " << row;
    song_free(song);
}

TEST(Pathological, JumpCyclesAndBreaksBeyondThePatternKeepPlaying) {
    // Order 0 jumps to 1, order 1 breaks to a row past the end of pattern 0
    // and then jumps back: a cycle that never reaches the song's end.
    XmModuleDef m = test_module(2, 8);
    m.speed = 2;
    m.patterns.push_back(m.patterns[0]);
    m.orders = {0, 1, 1, 1};
    xm_cell(m.patterns[0], 2, 0, 0) = {49, 1, 0, 0, 0};
    xm_cell(m.patterns[0], 2, 3, 1) = {0, 0, 0, 0x0B, 0x01};
    xm_cell(m.patterns[1], 2, 2, 0) = {0, 0, 0, 0x0D, 0x99};
    xm_cell(m.patterns[1], 2, 2, 1) = {0, 0, 0, 0x0B, 0x00};
    m.instruments.push_back(looped_instrument(8, 1));
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Played p = play(song, 400);
    EXPECT_TRUE(p.any_sound);
    EXPECT_EQ(p.orders_seen, 2);
    EXPECT_EQ(p.max_order, 1);
    song_free(song);
}

TEST(Pathological, ExtremeStepsOnTinyLoops) {
    // The highest note on two-frame loops: many loop lengths per output frame.
    XmModuleDef m = test_module(4, 4);
    m.flags = 0; // Amiga periods reach the highest frequencies
    for (int ch = 0; ch < 4; ch++)
        xm_cell(m.patterns[0], 4, 0, ch) = {96, uint8_t(1 + ch % 2), 0, 0, 0};
    m.instruments.push_back(looped_instrument(2, 1));
    m.instruments.push_back(looped_instrument(2, 2));
    for (XmInstrumentDef& ins : m.instruments) {
        ins.samples[0].relative_note = 90;
        ins.samples[0].finetune = 127;
    }
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Played p = play(song, 200);
    EXPECT_TRUE(p.any_sound);
    song_free(song);
}
