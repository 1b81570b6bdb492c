// Tick scheduler, row processing, periods and the voice update, checked on
// tiny modules against figures worked out by hand from the playback rules.
#include "tests/replayer_harness.h"

#include <cmath>
#include <gtest/gtest.h>

using Trace = std::vector<std::pair<int, int>>;

namespace {

// A module of `patterns` empty patterns of `rows` rows each.
XmModuleDef patterns_module(int channels, int rows, int patterns) {
    XmModuleDef m = harness_module(channels, rows);
    for (int p = 1; p < patterns; p++) m.patterns.push_back(m.patterns[0]);
    return m;
}

} // namespace

TEST(ReplayerTempo, FramesPerTick) {
    playback = {};
    for (int bpm = 1; bpm <= 255; bpm++) {
        EXPECT_EQ(replayer_tick_frames(bpm), 110250 / bpm) << "bpm " << bpm;
        EXPECT_EQ(replayer_set_bpm(bpm), 110250 / bpm) << "bpm " << bpm;
    }
    EXPECT_EQ(replayer_set_bpm(125), 882);
    EXPECT_EQ(replayer_set_bpm(32), 3445);
    EXPECT_EQ(replayer_set_bpm(0), 3445) << "a tempo of 0 keeps the old one";
    EXPECT_EQ(replayer_set_bpm(-7), 3445);
    EXPECT_EQ(playback.bpm, 32);
    playback = {};
    EXPECT_EQ(replayer_set_bpm(0), 882) << "a song that never had a tempo plays at 125";
}

TEST(ReplayerScheduler, RowTicksSpeedAndPatternDelay) {
    XmModuleDef m = harness_module(2, 4);
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_EXTENDED, 0xE3};
    harness_cell(m, 1, 1) = {0, 0, 0, EFFECT_EXTENDED, 0xE2}; // replaces, does not add
    Song* song = harness_play(m);
    std::vector<int> row_calls, max_tick;
    int last_row = -1;
    for (int call = 1; call <= 40; call++) {
        bool row_tick = playback.tick == 0;
        replayer_tick(song);
        if (row_tick) row_calls.push_back(call);
        if (playback.row != last_row) max_tick.push_back(0);
        last_row = playback.row;
        if (playback.tick > max_tick.back()) max_tick.back() = playback.tick;
    }
    // Speed 6; row 1 lasts 6 * (2 + 1) = 18 ticks, its ticks counting 1 to 17.
    EXPECT_EQ(row_calls, (std::vector<int>{1, 7, 25, 31, 37}));
    EXPECT_EQ(max_tick[1], 17);
    EXPECT_EQ(playback.pattern_delay, 0) << "cleared when the row ends";
    song_free(song);
}

TEST(ReplayerScheduler, OrderAdvanceAndRestart) {
    XmModuleDef m = patterns_module(1, 2, 2);
    m.orders = {0, 1, 0};
    m.restart = 1;
    m.speed = 1;
    Song* song = harness_play(m);
    EXPECT_EQ(harness_row_trace(song, 9),
              (Trace{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {1, 0}, {1, 1}, {2, 0}}));
    song_free(song);

    m.restart = 3; // not below the song length: order 0
    song = harness_play(m);
    EXPECT_EQ(harness_row_trace(song, 8),
              (Trace{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {0, 0}, {0, 1}}));
    song_free(song);

    // A pattern number the song lacks (possible with song length 0) plays
    // 64 empty rows; then order 0 comes round again.
    m = patterns_module(1, 2, 1);
    m.orders = {5};
    m.song_length = 0;
    m.speed = 1;
    song = harness_play(m);
    Trace trace = harness_row_trace(song, 66);
    EXPECT_EQ(trace[63], (std::pair<int, int>{0, 63}));
    EXPECT_EQ(trace[64], (std::pair<int, int>{0, 0}));
    song_free(song);
}

TEST(ReplayerScheduler, SpeedAndTempoEffects) {
    XmModuleDef m = harness_module(1, 8);
    harness_cell(m, 0, 0) = {0, 0, 0, EFFECT_SPEED, 0x20};
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_SPEED, 0x1F};
    Song* song = harness_play(m);
    replayer_tick(song);
    EXPECT_EQ(playback.bpm, 32);
    EXPECT_EQ(playback.samples_per_tick, 3445) << "already sets the length of this tick";
    harness_ticks(song, 6);
    EXPECT_EQ(playback.row, 1);
    EXPECT_EQ(playback.speed, 31) << "F1F is a speed, not a tempo";
    EXPECT_EQ(playback.bpm, 32);
    song_free(song);

    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_SPEED, 0x00};
    song = harness_play(m);
    harness_ticks(song, 7);
    EXPECT_EQ(playback.row, 1);
    EXPECT_EQ(playback.speed, 0);
    harness_ticks(song, 3);
    EXPECT_EQ(playback.row, 4) << "with speed 0 every tick is a row tick";
    EXPECT_EQ(playback.tick, 0);
    song_free(song);
}

TEST(ReplayerScheduler, JumpsAndBreaks) {
    XmModuleDef m = patterns_module(2, 64, 2);
    m.orders = {0, 1, 1, 1, 1, 1, 1};
    m.speed = 1;
    struct Case {
        XmCell first, second;
        int order, row;
    } cases[] = {
        {{0, 0, 0, EFFECT_POSITION_JUMP, 5}, {0, 0, 0, EFFECT_PATTERN_BREAK, 0x10}, 5, 10},
        {{0, 0, 0, EFFECT_PATTERN_BREAK, 0x10}, {0, 0, 0, EFFECT_POSITION_JUMP, 5}, 5, 0},
        {{0, 0, 0, EFFECT_PATTERN_BREAK, 0x40}, {}, 1, 40},
        {{0, 0, 0, EFFECT_PATTERN_BREAK, 0x6A}, {}, 1, 0}, // 70 is beyond 63
        {{0, 0, 0, EFFECT_POSITION_JUMP, 7}, {}, 0, 0},    // beyond the song: order 0
        {{0, 0, 0, EFFECT_POSITION_JUMP, 0}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        harness_cell(m, 0, 0) = c.first;
        harness_cell(m, 0, 1) = c.second;
        Song* song = harness_play(m);
        Trace trace = harness_row_trace(song, 2);
        EXPECT_EQ(trace[1], (std::pair<int, int>{c.order, c.row}))
            << int(c.first.effect) << "/" << int(c.first.param);
        song_free(song);
    }

    // A break on the last order entry goes to order 0, not the restart position.
    m.orders = {1, 0};
    m.restart = 1;
    harness_cell(m, 0, 0) = {0, 0, 0, EFFECT_PATTERN_BREAK, 0x05};
    harness_cell(m, 0, 1) = {};
    Song* song = harness_play(m);
    Trace trace = harness_row_trace(song, 66);
    EXPECT_EQ(trace[64], (std::pair<int, int>{1, 0}));
    EXPECT_EQ(trace[65], (std::pair<int, int>{0, 5}));
    song_free(song);

    // A break into a row the next pattern lacks lands on its row 0.
    m = patterns_module(1, 64, 1);
    XmPatternDef short_pattern;
    short_pattern.rows = 16;
    m.patterns.push_back(short_pattern);
    m.orders = {0, 1};
    m.speed = 1;
    harness_cell(m, 0, 0) = {0, 0, 0, EFFECT_PATTERN_BREAK, 0x40};
    song = harness_play(m);
    trace = harness_row_trace(song, 2);
    EXPECT_EQ(trace[1], (std::pair<int, int>{1, 0}));
    song_free(song);
}

TEST(ReplayerScheduler, PatternLoop) {
    XmModuleDef m = harness_module(1, 4);
    m.speed = 1;
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_EXTENDED, 0x60};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_EXTENDED, 0x62};
    Song* song = harness_play(m);
    Trace trace = harness_row_trace(song, 16);
    std::vector<int> rows;
    for (auto& [order, row] : trace) rows.push_back(row);
    // Three passes, then on; the counter is back at 0, so the next pass loops again.
    EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 1, 2, 1, 2, 3, 0, 1, 2, 1, 2, 1, 2, 3}));
    song_free(song);
}

TEST(SongLength, FramesUntilTheFirstRepeatAtMostTheCap) {
    // Four one-tick rows of 882 frames, then the wrap repeats.
    XmModuleDef m = patterns_module(1, 2, 2);
    m.orders = {0, 1};
    m.speed = 1;
    bool repeats = true;
    Song* song = test_load_module(m);
    EXPECT_EQ(song_length_frames(song, 100000, &repeats), 4 * 882);
    EXPECT_TRUE(repeats);
    // A cap that ends just before the repeating tick never sees it.
    EXPECT_EQ(song_length_frames(song, 4 * 882, &repeats), 4 * 882);
    EXPECT_FALSE(repeats);
    EXPECT_EQ(song_length_frames(song, 4 * 882 + 1, &repeats), 4 * 882);
    EXPECT_TRUE(repeats);
    EXPECT_EQ(song_length_frames(song, 882, &repeats), 882);
    EXPECT_FALSE(repeats);
    song_free(song);
}

// The length is measured without the ticks between row ticks; it must be
// what a full play takes to its repeat, with every kind of row that moves
// the song (pattern delay, pattern loop, speed and tempo changes, a break)
// next to effects that work on those ticks (volume and global volume
// slides). A play after the measurement runs those ticks again.
TEST(SongLength, MeasuredWithoutTheTicksBetweenRowsAsPlayed) {
    XmModuleDef m = patterns_module(2, 4, 2);
    m.orders = {0, 1, 0};
    m.speed = 3;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_VOLUME_SLIDE, 0x0F};
    harness_cell(m, 0, 1) = {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0x01};
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_EXTENDED, 0xE2};    // pattern delay
    harness_cell(m, 0, 0, 1) = {0, 0, 0, EFFECT_EXTENDED, 0x60}; // loop start
    harness_cell(m, 1, 1, 1) = {0, 0, 0, EFFECT_SPEED, 0x05};
    harness_cell(m, 2, 0, 1) = {0, 0, 0, EFFECT_EXTENDED, 0x62}; // loop twice more
    harness_cell(m, 2, 1, 1) = {0, 0, 0, EFFECT_SPEED, 0x40};    // tempo 64
    harness_cell(m, 3, 1, 1) = {0, 0, 0, EFFECT_PATTERN_BREAK, 0x02};

    Song* song = harness_play(m);
    for (int guard = 0; !playback.repeated && guard < 10000; guard++) replayer_tick(song);
    ASSERT_TRUE(playback.repeated);
    const int64_t played = playback.repeat_frame;
    bool repeats = false;
    EXPECT_EQ(song_length_frames(song, int64_t(1) << 40, &repeats), played);
    EXPECT_TRUE(repeats);

    harness_start(song);
    harness_ticks(song, 3); // the row tick and two slides
    EXPECT_EQ(channels[0].volume, 64 - 2 * 15);
    song_free(song);
}

TEST(ReplayerScheduler, NoticesWhereTheSongRepeats) {
    // Two orders of two one-tick rows: the wrap after 4 ticks repeats.
    XmModuleDef m = patterns_module(1, 2, 2);
    m.orders = {0, 1};
    m.speed = 1;
    Song* song = harness_play(m);
    harness_ticks(song, 4);
    EXPECT_EQ(playback.repeated, 0);
    replayer_tick(song);
    EXPECT_EQ(playback.repeated, 1);
    EXPECT_EQ(playback.repeat_frame, 4 * 882);
    harness_ticks(song, 10);
    EXPECT_EQ(playback.repeat_frame, 4 * 882) << "only the first repeat counts";
    song_free(song);

    // A jump back to a played order repeats; a jump forward does not, even
    // with a tempo change on the way.
    m = patterns_module(1, 2, 3);
    m.orders = {0, 1, 2};
    m.speed = 1;
    harness_cell(m, 0, 0) = {0, 0, 0, EFFECT_POSITION_JUMP, 2};
    harness_cell(m, 1, 0, 2) = {0, 0, 0, EFFECT_POSITION_JUMP, 0};
    harness_cell(m, 0, 0, 2) = {0, 0, 0, EFFECT_SPEED, 0x20};
    song = harness_play(m);
    Trace trace = harness_row_trace(song, 4);
    EXPECT_EQ(trace, (Trace{{0, 0}, {2, 0}, {2, 1}, {0, 0}}));
    EXPECT_EQ(playback.repeated, 1);
    EXPECT_EQ(playback.repeat_frame, 882 + 2 * 3445);
    song_free(song);

    // Playing again starts the bookkeeping afresh.
    song = test_load_module(m);
    harness_start(song);
    harness_ticks(song, 2);
    EXPECT_EQ(playback.repeated, 0);
    song_free(song);
}

TEST(ReplayerRows, NoteAndInstrumentSelection) {
    XmModuleDef m = harness_module(1, 8);
    XmInstrumentDef quiet = test_instrument({1, 2, 3, 4});
    quiet.samples[0].volume = 20;
    quiet.samples[0].panning = 40;
    quiet.samples[0].relative_note = 12;
    m.instruments.push_back(quiet);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 0, 0, 0, 0}; // fresh channel: instrument 1
    harness_cell(m, 1, 0) = {NOTE_C4, 2, 0, 0, 0}; // instrument 2, an octave up
    harness_cell(m, 2, 0) = {0, 1, 0, 0, 0};       // instrument only: reset, no trigger
    harness_cell(m, 3, 0) = {NOTE_C4, 9, 0, 0, 0}; // beyond the instruments
    harness_cell(m, 4, 0) = {200, 1, 0, 0, 0};     // a note byte beyond the keymap
    Song* song = harness_play(m);
    Channel& ch = channels[0];
    Sample* first = song->instruments[0].samples[0];
    Sample* second = song->instruments[1].samples[0];

    replayer_tick(song);
    EXPECT_EQ(ch.sample, first);
    EXPECT_EQ(ch.voice, &voices[0]);
    EXPECT_EQ(voices[0].sample, first);
    EXPECT_EQ(ch.note_index, 48);
    EXPECT_EQ(ch.period, 4608);
    EXPECT_EQ(ch.volume, 0) << "no instrument number: no note reset";

    replayer_tick(song);
    EXPECT_EQ(ch.instrument_index, 1);
    EXPECT_EQ(ch.sample, second);
    EXPECT_EQ(ch.real_note, 60);
    EXPECT_EQ(ch.period, 7680 - 64 * 60);
    EXPECT_EQ(ch.volume, 20);
    EXPECT_EQ(ch.panning, 40);
    EXPECT_EQ(ch.voice, &voices[32]) << "the sounding voice is handed over";

    voices[32].position = 3;
    replayer_tick(song);
    EXPECT_EQ(ch.instrument_index, 0);
    EXPECT_EQ(ch.volume, 64);
    EXPECT_EQ(ch.panning, 128);
    EXPECT_EQ(ch.voice, &voices[32]);
    EXPECT_EQ(voices[32].sample, second) << "the sample does not restart";
    EXPECT_EQ(voices[32].position, 3);

    replayer_tick(song);
    EXPECT_EQ(ch.voice->sample, &empty_sample);
    EXPECT_EQ(ch.sample, first) << "an instrument out of range leaves the sample field";

    replayer_tick(song);
    EXPECT_EQ(ch.note_index, 199);
    EXPECT_EQ(ch.voice->sample, &empty_sample);
    EXPECT_EQ(ch.sample, &empty_sample);
    song_free(song);
}

TEST(ReplayerRows, TonePortamentoKeepsTheNoteRunning) {
    XmModuleDef m = harness_module(1, 4);
    m.speed = 4;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_SET_VOLUME, 32};
    harness_cell(m, 1, 0) = {NOTE_C5, 1, 0, EFFECT_TONE_PORTA, 16};
    harness_cell(m, 2, 0) = {NOTE_C4, 0, 0xF0, 0, 0}; // volume-column portamento
    Song* song = harness_play(m);
    Channel& ch = channels[0];
    harness_ticks(song, 4);
    EXPECT_EQ(ch.volume, 32);

    replayer_tick(song);
    EXPECT_EQ(ch.period, 4608) << "the old period stays";
    EXPECT_EQ(ch.note_period, 3840);
    EXPECT_EQ(ch.porta_target, 3840);
    EXPECT_EQ(ch.note_index, 48);
    EXPECT_EQ(ch.voice, &voices[0]) << "no trigger";
    EXPECT_EQ(ch.volume, 64) << "the instrument number still resets the volume";
    harness_ticks(song, 3);
    EXPECT_EQ(ch.period, 4608 - 3 * 64);

    // 0xF0 on a row with a note: the pitch jumps, the sample does not restart.
    replayer_tick(song);
    EXPECT_EQ(ch.period, 4608);
    EXPECT_EQ(ch.porta_target, 4608);
    EXPECT_EQ(ch.porta_speed, 16) << "a zero speed keeps the last one";
    EXPECT_EQ(ch.voice, &voices[0]);
    song_free(song);
}

TEST(ReplayerRows, KeyOffAndNotesWithoutInstrument) {
    XmModuleDef m = harness_module(1, 8);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 1, 0) = {CELL_KEY_OFF, 0, 0, 0, 0};
    harness_cell(m, 2, 0) = {NOTE_C4, 0, 0, 0, 0};
    harness_cell(m, 3, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 4, 0) = {0, 0, 0, EFFECT_KEY_OFF, 0x33};
    Song* song = harness_play(m);
    Channel& ch = channels[0];
    replayer_tick(song);
    EXPECT_EQ(ch.voice->volume, 127);
    replayer_tick(song);
    EXPECT_EQ(ch.key_off, 1);
    EXPECT_EQ(ch.volume_env.value, 0) << "no volume envelope: silent at once";
    EXPECT_EQ(ch.voice->volume, 0);
    EXPECT_EQ(ch.voice->target_left + ch.voice->target_right, 0);
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[32]) << "the note triggers";
    EXPECT_EQ(ch.voice->volume, 0) << "but stays released";
    replayer_tick(song);
    EXPECT_EQ(ch.key_off, 0);
    EXPECT_EQ(ch.voice->volume, 127);
    replayer_tick(song);
    EXPECT_EQ(ch.key_off, 1) << "K with any parameter";
    EXPECT_EQ(ch.voice->volume, 0);
    song_free(song);
}

TEST(ReplayerRows, VolumePanningAndGlobalVolume) {
    XmModuleDef m = harness_module(2, 8);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_SET_PANNING, 0xFF};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0, EFFECT_SET_PANNING, 0x00};
    harness_cell(m, 1, 0) = {0, 0, 0x30, EFFECT_SET_VOLUME, 0x50}; // C after the column
    harness_cell(m, 1, 1) = {0, 0, 0xC8, 0, 0};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_GLOBAL_VOLUME, 0x20};
    harness_cell(m, 3, 0) = {0, 0, 0, EFFECT_GLOBAL_VOLUME, 0x7F};
    harness_cell(m, 3, 1) = {0, 0, 0x65, EFFECT_EXTENDED, 0xA3};
    Song* song = harness_play(m);
    replayer_tick(song);
    // Panning 255 is the right: the second sample of each frame.
    EXPECT_EQ(voices[0].target_left, 0);
    EXPECT_EQ(voices[0].target_right, 127);
    EXPECT_EQ(voices[1].target_left, 127);
    EXPECT_EQ(voices[1].target_right, 0);

    replayer_tick(song);
    EXPECT_EQ(channels[0].volume, 80) << "Cxx is stored without a bound";
    EXPECT_EQ(voices[0].volume, 159);
    EXPECT_EQ(voices[0].volume_copy, 159);
    EXPECT_EQ(voices[0].target_right, 159);
    EXPECT_EQ(voices[1].panning, 128);
    EXPECT_EQ(voices[1].target_left, 63);
    EXPECT_EQ(voices[1].target_right, 63);

    replayer_tick(song);
    EXPECT_EQ(playback.global_volume, 32);
    EXPECT_EQ(voices[0].volume, 79); // 80 * 32 * 255 / 2^17
    EXPECT_EQ(voices[1].volume, 63) << "every row tick recomputes every volume";

    replayer_tick(song);
    EXPECT_EQ(playback.global_volume, 64);
    // Column 0x65 takes 5, then EA3 adds 3.
    EXPECT_EQ(channels[1].volume, 62);
    song_free(song);
}

TEST(ReplayerRows, FinetuneEffectWritesTheSample) {
    XmModuleDef m = harness_module(1, 4);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0x5F};
    harness_cell(m, 1, 0) = {NOTE_C4, 0, 0, 0, 0};
    harness_cell(m, 2, 0) = {NOTE_C4, 7, 0, EFFECT_EXTENDED, 0x5F};
    Song* song = harness_play(m);
    replayer_tick(song);
    EXPECT_EQ(channels[0].period, 4608) << "this row's note used the old finetune";
    EXPECT_EQ(song->instruments[0].samples[0]->finetune, 15);
    replayer_tick(song);
    EXPECT_EQ(channels[0].period, 4608 - 7);
    replayer_tick(song);
    EXPECT_EQ(empty_sample.finetune, 0) << "the shared silent sample is never written";
    song_free(song);
}

TEST(ReplayerPeriods, LinearAndAmiga) {
    EXPECT_EQ(amiga_period(0, 0), 27392);
    EXPECT_EQ(amiga_period(48, 0), 1712);
    EXPECT_EQ(amiga_period(96, 0), 107);
    EXPECT_EQ(amiga_period(48, -128), 1813) << "toward the next lower note";
    EXPECT_EQ(amiga_period(48, 127), 1616);
    EXPECT_EQ(amiga_period(48, -1), 1712);
    EXPECT_EQ(amiga_period(0, -128), 28930) << "note 0 extrapolates from the interval above";
    EXPECT_EQ(linear_period(48, -128), 4672);
    EXPECT_EQ(linear_period(48, -1), 4608);

    XmModuleDef m = harness_module(3, 4);
    XmInstrumentDef low = test_instrument({1, 2});
    low.samples[0].finetune = -128;
    m.instruments.push_back(low);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 0, 1) = {NOTE_C4, 2, 0, 0, 0};
    harness_cell(m, 0, 2) = {1, 1, 0, 0, 0};
    Song* song = harness_play(m);
    replayer_tick(song);
    EXPECT_EQ(voices[0].frequency, 8363);
    EXPECT_EQ(voices[0].step_int, 0u);
    EXPECT_EQ(voices[0].step_frac, 814485521u); // 8363 / 44100 in 32.32
    EXPECT_EQ(channels[1].period, 4672);
    EXPECT_EQ(voices[1].frequency, 7893);
    EXPECT_EQ(voices[2].frequency, 522); // four octaves below C-4
    song_free(song);

    m.flags = 0;
    song = harness_play(m);
    replayer_tick(song);
    EXPECT_EQ(channels[0].period, 1712);
    EXPECT_EQ(voices[0].frequency, 8362);
    EXPECT_EQ(channels[1].period, 1813);
    EXPECT_EQ(voices[1].frequency, 14317056 / 1813);
    EXPECT_EQ(channels[2].period, 27392);
    EXPECT_EQ(voices[2].frequency, 522);
    song_free(song);
}

TEST(ReplayerVoices, HandOverToThePartner) {
    XmModuleDef m = harness_module(2, 8);
    m.speed = 1;
    for (int row = 0; row < 3; row++) harness_cell(m, row, 1) = {NOTE_C4, 1, 0, 0, 0};
    Song* song = harness_play(m);
    Channel& ch = channels[1];
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[1]);
    voices[1].position = 40;
    voices[1].current_left = 99 * 256;
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[33]);
    EXPECT_EQ(voices[33].index, 33);
    EXPECT_EQ(voices[33].position, 0);
    EXPECT_EQ(voices[33].current_left, 0) << "the new note ramps up from silence";
    EXPECT_EQ(voices[33].target_left, 63);
    // The old note keeps playing on its slot, ramping down to silence.
    EXPECT_EQ(voices[1].sample, song->instruments[0].samples[0]);
    EXPECT_EQ(voices[1].position, 40);
    EXPECT_EQ(voices[1].current_left, 99 * 256);
    EXPECT_EQ(voices[1].volume + voices[1].volume_copy, 0);
    EXPECT_EQ(voices[1].target_left + voices[1].target_right, 0);
    EXPECT_EQ(voices[1].index, 1);
    // A voice that fell silent is reused in place.
    voices[33].sample = nullptr;
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[33]);
    EXPECT_EQ(voices[33].sample, song->instruments[0].samples[0]);
    song_free(song);
}

TEST(ReplayerVoices, SampleOffset) {
    XmModuleDef m = harness_module(1, 8, 1000);
    m.speed = 1;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_SAMPLE_OFFSET, 2};
    harness_cell(m, 1, 0) = {NOTE_C5, 1, 0, EFFECT_SAMPLE_OFFSET, 4};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_SAMPLE_OFFSET, 1};
    harness_cell(m, 3, 0) = {NOTE_C4, 0, 0, 0, 0};
    harness_cell(m, 4, 0) = {NOTE_C4, 0, 0, EFFECT_SAMPLE_OFFSET, 0}; // memory: 256
    Song* song = harness_play(m);
    Channel& ch = channels[0];
    replayer_tick(song);
    EXPECT_EQ(ch.voice->position, 512);
    EXPECT_EQ(ch.voice->start_offset, 0u);

    // 1024 is beyond the sample: no trigger, the playing sample restarts.
    ch.voice->position = 700;
    ch.voice->position_frac = 5;
    ch.voice->direction = DIR_BACKWARD;
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[0]);
    EXPECT_EQ(ch.voice->position, 0);
    EXPECT_EQ(ch.voice->position_frac, 0u);
    EXPECT_EQ(ch.voice->direction, DIR_FORWARD);
    EXPECT_EQ(ch.period, 3840) << "the new pitch still applies";

    // Without a note the offset waits in the voice for the next trigger,
    // which hands it over to the partner.
    replayer_tick(song);
    EXPECT_EQ(voices[0].start_offset, 256u);
    EXPECT_EQ(voices[0].position, 0);
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[32]);
    EXPECT_EQ(voices[32].position, 256);
    EXPECT_EQ(voices[32].start_offset, 0u);
    replayer_tick(song);
    EXPECT_EQ(ch.voice->position, 256);
    song_free(song);
}

TEST(ReplayerMalformed, OutOfRangeValuesStayDefined) {
    EXPECT_EQ(wrap_div(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(float_to_i32(3e9), INT32_MIN);
    EXPECT_EQ(float_to_i32(-3e9), INT32_MIN);
    EXPECT_EQ(float_to_i32(NAN), INT32_MIN);
    EXPECT_EQ(float_to_i32(-2.9), -2);

    // Envelope points out of order with extreme values, sustain and loop
    // points beyond the last point, a slide without end and a long song:
    // the sanitizer builds check that nothing overflows or reads out of range.
    XmModuleDef m = harness_module(4, 4, 16);
    m.speed = 3;
    XmInstrumentDef& ins = m.instruments[0];
    XmEnvelope& env = ins.volume_envelope;
    env.point_count = 3;
    env.x[0] = 5, env.y[0] = 0;
    env.x[1] = 2, env.y[1] = 65535;
    env.x[2] = 1, env.y[2] = 0;
    env.type = 7;
    env.sustain = 200;
    env.loop_start = 1;
    env.loop_end = 12;
    ins.panning_envelope = env;
    ins.panning_envelope.y[1] = 32768;
    ins.vibrato_type = 7;
    ins.vibrato_depth = 255;
    ins.vibrato_rate = 255;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0xE0 | 15, EFFECT_PORTA_DOWN, 0xFF};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0xD0 | 15, EFFECT_PORTA_DOWN, 0xFF};
    harness_cell(m, 0, 2) = {96, 1, 0, EFFECT_ENVELOPE_POSITION, 0xFF};
    harness_cell(m, 0, 3) = {NOTE_C4, 1, 0, EFFECT_SET_VOLUME, 0xFF};
    for (int row = 1; row < 4; row++) {
        harness_cell(m, row, 0) = {0, 0, 0xE0 | 15, EFFECT_PORTA_DOWN, 0};
        harness_cell(m, row, 1) = {0, 0, 0xD0 | 15, EFFECT_EXTRA_FINE_PORTA, 0x2F};
        harness_cell(m, row, 2) = {0, 0, 0, EFFECT_PORTA_UP, 0xFF};
        harness_cell(m, row, 3) = {0, 0, 0, EFFECT_MULTI_RETRIG, 0xF1};
    }
    harness_cell(m, 3, 0).effect = EFFECT_PATTERN_BREAK;
    harness_cell(m, 3, 0).param = 0x02;
    for (uint16_t flags : {1, 0}) {
        m.flags = flags;
        Song* song = harness_play(m);
        replayer_tick(song);
        channels[0].period = INT32_MAX - 1000; // slides on past the largest value
        channels[1].panning = INT32_MIN + 20;
        channels[0].volume_env.fixed = INT32_MAX - 5;
        harness_ticks(song, 300000);
        EXPECT_GE(voices[0].step_int, 0u);
        EXPECT_EQ(channels[2].period, MIN_PORTA_UP_PERIOD);
        song_free(song);
    }
}
