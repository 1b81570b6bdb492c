// Drives the replayer without the output driver: play's set-up steps, then
// replayer_tick called directly, so tests can look at Channels and Voices
// after any number of ticks.
#pragma once
#include "music/output.h"
#include "music/replayer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <utility>
#include <vector>

// Play's set-up (voices cleared and numbered, playback state at the start,
// channels wired) without the driver's thread: the offline start does it.
inline void harness_start(Song* song) {
    EXPECT_TRUE(output_offline_start(song));
}

// Loads `m` and starts it as play would.
inline Song* harness_play(const XmModuleDef& m) {
    Song* song = test_load_module(m);
    EXPECT_NE(song, nullptr);
    if (song) harness_start(song);
    return song;
}

inline void harness_ticks(Song* song, int n) {
    for (int i = 0; i < n; i++) replayer_tick(song);
}

// The (order, row) of each of the next `rows` row ticks.
inline std::vector<std::pair<int, int>> harness_row_trace(Song* song, int rows) {
    std::vector<std::pair<int, int>> trace;
    for (int guard = 0; int(trace.size()) < rows && guard < 100000; guard++) {
        bool row_tick = playback.tick == 0;
        replayer_tick(song);
        if (row_tick) trace.push_back({playback.order, playback.row});
    }
    return trace;
}

// A module of `channels` channels and one pattern of `rows` rows, with one
// instrument whose 8-bit sample has `frames` frames (volume 64, panning 128).
inline XmModuleDef harness_module(int channels, int rows, int frames = 64) {
    XmModuleDef m = test_module(channels, rows);
    std::vector<int16_t> pcm(static_cast<size_t>(frames));
    for (int i = 0; i < frames; i++) pcm[size_t(i)] = int16_t((i * 7) % 100 - 50);
    m.instruments.push_back(test_instrument(pcm));
    return m;
}

inline XmCell& harness_cell(XmModuleDef& m, int row, int channel, int pattern = 0) {
    return xm_cell(m.patterns[size_t(pattern)], m.channels, row, channel);
}

// Note numbers as stored in cells: C-4 is 49 (note_index 48).
constexpr uint8_t NOTE_C4 = 49;
constexpr uint8_t NOTE_C5 = 61;
constexpr uint8_t CELL_KEY_OFF = 97;
