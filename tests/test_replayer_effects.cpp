// Envelopes, instrument vibrato and the effects of the later ticks of a row,
// checked tick by tick on tiny modules.
#include "tests/replayer_harness.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>

namespace {

// One value per tick for `ticks` ticks.
std::vector<int> per_tick(Song* song, int ticks, const std::function<int()>& value) {
    std::vector<int> values;
    for (int i = 0; i < ticks; i++) {
        replayer_tick(song);
        values.push_back(value());
    }
    return values;
}

using Ints = std::vector<int>;

// The song a table-driven test is playing, for the values it watches.
Song* harness_song;

XmEnvelope envelope(std::vector<std::pair<uint16_t, uint16_t>> points, uint8_t type) {
    XmEnvelope e;
    for (size_t i = 0; i < points.size(); i++) {
        e.x[i] = points[i].first;
        e.y[i] = points[i].second;
    }
    e.point_count = uint8_t(points.size());
    e.type = type;
    return e;
}

} // namespace

TEST(ReplayerWaveforms, SineRampSquareAndRetrigVolumes) {
    for (int p = -32; p <= 31; p++) {
        int formula = int(std::fabs(std::sin(2 * p * double(0.049087375f))) * 256);
        EXPECT_EQ(waveform_sine(p), formula) << p;
    }
    EXPECT_EQ(waveform_sine(16), 255);
    EXPECT_EQ(waveform_value(1, -1, false), 7);
    EXPECT_EQ(waveform_value(3, 8, false), 255) << "vibrato waveform 3 is a square";
    EXPECT_EQ(waveform_value(3, 8, true), 181) << "tremolo waveform 3 is a sine";
    EXPECT_EQ(retrig_volume(0, 80), 80) << "operation 0 leaves the volume alone";
    EXPECT_EQ(retrig_volume(8, 80), 64) << "the others limit it";
    EXPECT_EQ(retrig_volume(6, 64), 42);
    EXPECT_EQ(retrig_volume(14, 21), 31);
}

TEST(ReplayerEnvelopes, LinearSegmentSustainAndLoop) {
    XmModuleDef m = harness_module(3, 4);
    m.speed = 12;
    m.instruments[0].volume_envelope = envelope({{0, 64}, {10, 0}}, 1);
    XmInstrumentDef held = m.instruments[0];
    held.volume_envelope = envelope({{0, 64}, {4, 32}, {8, 0}}, 3);
    held.volume_envelope.sustain = 1;
    m.instruments.push_back(held);
    XmInstrumentDef looped = m.instruments[0];
    looped.volume_envelope = envelope({{0, 0}, {2, 20}, {4, 40}, {6, 60}}, 5);
    looped.volume_envelope.loop_start = 1;
    looped.volume_envelope.loop_end = 3;
    m.instruments.push_back(looped);
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 0, 1) = {NOTE_C4, 2, 0, 0, 0};
    harness_cell(m, 0, 2) = {NOTE_C4, 3, 0, 0, 0};
    harness_cell(m, 1, 1) = {0, 0, 0, EFFECT_KEY_OFF, 0};
    Song* song = harness_play(m);
    std::vector<Ints> values(3);
    for (int t = 0; t < 17; t++) {
        replayer_tick(song);
        for (int c = 0; c < 3; c++) values[size_t(c)].push_back(channels[c].volume_env.value);
    }
    EXPECT_EQ(values[0], (Ints{64, 57, 51, 44, 38, 32, 25, 19, 12, 6, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(channels[0].volume_env.done, 1);
    // Held at the sustain point until the key off on tick 12, which moves on at once.
    EXPECT_EQ(values[1], (Ints{64, 56, 48, 40, 32, 32, 32, 32, 32, 32, 32, 32, 32, 24, 16, 8, 0}));
    EXPECT_EQ(values[2], (Ints{0, 10, 20, 30, 40, 50, 20, 30, 40, 50, 20, 30, 40, 50, 20, 30, 40}));
    EXPECT_EQ(channels[2].volume_env.done, 0) << "a loop runs forever";
    song_free(song);
}

TEST(ReplayerEnvelopes, FadeoutAndPanning) {
    XmModuleDef m = harness_module(2, 4);
    m.speed = 20;
    XmInstrumentDef& ins = m.instruments[0];
    ins.volume_envelope = envelope({{0, 64}, {10, 64}}, 3); // holds 64 at point 0
    ins.panning_envelope = envelope({{0, 64}, {1, 64}}, 1);
    ins.fadeout = 2048; // 4096 per tick
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0, EFFECT_SET_PANNING, 0};
    harness_cell(m, 1, 0) = {CELL_KEY_OFF, 0, 0, 0, 0};
    Song* song = harness_play(m);
    replayer_tick(song);
    EXPECT_EQ(voices[0].panning, 255) << "centre moved by the envelope's full 128";
    EXPECT_EQ(voices[1].panning, 0) << "a note panned hard left is not moved";
    harness_ticks(song, 19);
    EXPECT_EQ(channels[0].fadeout_volume, 65536);
    Ints fade = per_tick(song, 17, [] { return channels[0].fadeout_volume; });
    EXPECT_EQ(fade[0], 61440) << "the key-off tick is the first step";
    EXPECT_EQ(fade[14], 4096);
    EXPECT_EQ(fade[15], 0);
    EXPECT_EQ(fade[16], 0);
    EXPECT_EQ(voices[0].volume, 0);
    EXPECT_EQ(channels[0].volume_env.value, 64) << "the envelope left its sustain";
    song_free(song);
}

TEST(ReplayerEnvelopes, PositionEffect) {
    XmModuleDef m = harness_module(1, 4);
    m.speed = 2;
    m.instruments[0].volume_envelope = envelope({{0, 64}, {10, 0}, {20, 64}}, 1);
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_ENVELOPE_POSITION, 5};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_ENVELOPE_POSITION, 30};
    Song* song = harness_play(m);
    harness_ticks(song, 3);
    Channel& ch = channels[0];
    EXPECT_EQ(ch.volume_env.value, 32);
    EXPECT_EQ(ch.volume_env.tick, 5);
    EXPECT_EQ(ch.volume_env.point, 1);
    replayer_tick(song);
    EXPECT_EQ(ch.volume_env.value, 25) << "and on from there";
    replayer_tick(song);
    EXPECT_EQ(ch.volume_env.value, 64) << "beyond the last point: its value";
    EXPECT_EQ(ch.volume_env.done, 1);
    song_free(song);
}

TEST(ReplayerEnvelopes, AutoVibratoSweepAndShapes) {
    XmModuleDef m = harness_module(2, 4);
    m.speed = 8;
    XmInstrumentDef& square = m.instruments[0];
    square.vibrato_type = 1;
    square.vibrato_depth = 8;
    square.vibrato_sweep = 4;
    XmInstrumentDef sine = test_instrument({1, 2, 3});
    sine.vibrato_type = 0;
    sine.vibrato_depth = 64;
    sine.vibrato_rate = 64;
    m.instruments.push_back(sine);
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 0, 1) = {NOTE_C4, 2, 0, 0, 0};
    Song* song = harness_play(m);
    Ints swept, shaped;
    for (int t = 0; t < 6; t++) {
        replayer_tick(song);
        swept.push_back(channels[0].period_delta);
        shaped.push_back(channels[1].period_delta);
    }
    EXPECT_EQ(swept, (Ints{0, 2, 4, 6, 8, 8})) << "no vibrato on the note's tick, full after 4";
    EXPECT_EQ(shaped, (Ints{0, 63, 0, -63, 0, 63}));
    EXPECT_EQ(voices[0].frequency, 8423) << "8 linear units above C-4";
    song_free(song);
}

TEST(ReplayerEffects, ArpeggioAndPortamentos) {
    XmModuleDef m = harness_module(3, 4);
    m.speed = 6;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_ARPEGGIO, 0x37};
    harness_cell(m, 0, 1) = {96, 1, 0, EFFECT_PORTA_UP, 0xFF};
    harness_cell(m, 0, 2) = {NOTE_C4, 1, 0, EFFECT_PORTA_DOWN, 0x10};
    harness_cell(m, 1, 2) = {0, 0, 0, EFFECT_PORTA_DOWN, 0};
    for (uint16_t flags : {1, 0}) {
        m.flags = flags;
        Song* song = harness_play(m);
        Ints arp, up, down;
        for (int t = 0; t < 7; t++) {
            replayer_tick(song);
            arp.push_back(channels[0].period_delta);
            up.push_back(channels[1].period);
            down.push_back(channels[2].period);
        }
        if (flags) {
            EXPECT_EQ(arp, (Ints{0, 192, 448, 0, 192, 448, 0}));
            EXPECT_EQ(up, (Ints{1600, 580, 56, 56, 56, 56, 56})) << "stops at 56";
            EXPECT_EQ(down, (Ints{4608, 4672, 4736, 4800, 4864, 4928, 4928}));
        } else {
            EXPECT_EQ(arp, (Ints{0, 1439 - 1712, 1142 - 1712, 0, 1439 - 1712, 1142 - 1712, 0}));
            EXPECT_EQ(up[2], 56);
            EXPECT_EQ(down[1], 1712 + 64);
        }
        harness_ticks(song, 5);
        EXPECT_EQ(channels[2].period, down[5] + 5 * 64) << "2xx memory, no bound";
        song_free(song);
    }
}

TEST(ReplayerEffects, VibratoAndTremolo) {
    XmModuleDef m = harness_module(4, 4);
    m.speed = 9;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_VIBRATO, 0x88};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0xB4, EFFECT_VIBRATO, 0x80};
    harness_cell(m, 0, 2) = {NOTE_C4, 1, 0x4C, EFFECT_EXTENDED, 0x72};
    harness_cell(m, 0, 3) = {NOTE_C4, 1, 0x1A, EFFECT_EXTENDED, 0x72};
    harness_cell(m, 1, 2) = {0, 0, 0, EFFECT_TREMOLO, 0xFF};
    harness_cell(m, 1, 3) = {0, 0, 0, EFFECT_TREMOLO, 0xFF};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_EXTENDED, 0x43};
    harness_cell(m, 3, 0) = {0, 0, 0, EFFECT_VIBRATO, 0};
    Song* song = harness_play(m);
    Ints delta, phase, doubled;
    for (int t = 0; t < 9; t++) {
        replayer_tick(song);
        delta.push_back(channels[0].period_delta);
        phase.push_back(channels[0].vibrato_position);
        doubled.push_back(channels[1].vibrato_position);
    }
    EXPECT_EQ(delta, (Ints{0, 0, -44, -60, -44, 0, 44, 60, 44}));
    EXPECT_EQ(phase, (Ints{0, 8, 16, 24, -32, -24, -16, -8, 0})) << "8 ticks a cycle";
    EXPECT_EQ(doubled[1], 16) << "column and effect both advance the phase";

    // Square tremolo at volume 60 (and 10), depth 15, speed 15: the offset is
    // limited to keep the volume within 0..64, and the last one stays.
    Ints loud, quiet;
    for (int t = 0; t < 9; t++) {
        replayer_tick(song);
        loud.push_back(channels[2].volume_delta);
        quiet.push_back(channels[3].volume_delta);
    }
    EXPECT_EQ(loud, (Ints{0, 4, 4, 4, -59, -59, 4, 4, -59}));
    EXPECT_EQ(quiet, (Ints{0, 54, 54, 54, -10, -10, 54, 54, -10}));
    EXPECT_EQ(voices[2].volume, 1);
    replayer_tick(song);
    EXPECT_EQ(channels[2].volume, 1);
    EXPECT_EQ(channels[3].volume, 0);
    // After E43 the vibrato is a square; the row tick uses the phase unmoved.
    harness_ticks(song, 8);
    Ints square = per_tick(song, 9, [] { return channels[0].period_delta; });
    EXPECT_EQ(square, (Ints{-60, -60, -60, -60, -60, 60, 60, 60, 60}));
    song_free(song);
}

TEST(ReplayerEffects, SlidesAndGlobalVolume) {
    XmModuleDef m = harness_module(4, 4);
    m.speed = 6;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_VOLUME_SLIDE, 0x0F};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0x65, EFFECT_PANNING_SLIDE, 0x0F};
    harness_cell(m, 0, 2) = {NOTE_C4, 1, 0xDF, EFFECT_SET_PANNING, 2};
    harness_cell(m, 0, 3) = {NOTE_C4, 1, 0, EFFECT_GLOBAL_VOLUME, 16};
    harness_cell(m, 1, 0) = {0, 0, 0x1A, EFFECT_VOLUME_SLIDE, 0};
    harness_cell(m, 1, 1) = {0, 0, 0, EFFECT_PANNING_SLIDE, 0xF0};
    harness_cell(m, 1, 3) = {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0x20};
    Song* song = harness_play(m);
    Ints volume, column, panning, voice_pan;
    for (int t = 0; t < 6; t++) {
        replayer_tick(song);
        volume.push_back(channels[0].volume);
        column.push_back(channels[1].volume);
        panning.push_back(channels[1].panning);
        voice_pan.push_back(voices[2].panning);
    }
    EXPECT_EQ(volume, (Ints{64, 49, 34, 19, 4, 0}));
    EXPECT_EQ(column, (Ints{59, 54, 49, 44, 39, 34}));
    EXPECT_EQ(panning, (Ints{128, 113, 98, 83, 68, 53}));
    EXPECT_EQ(voice_pan, (Ints{2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(channels[2].panning, 2 - 5 * 15) << "column slides have no bound";

    Ints global;
    for (int t = 0; t < 6; t++) {
        replayer_tick(song);
        global.push_back(playback.global_volume);
    }
    EXPECT_EQ(global, (Ints{16, 18, 20, 22, 24, 26}));
    EXPECT_EQ(channels[0].volume, 0) << "A00 reuses 0x0F";
    EXPECT_EQ(channels[1].panning, 128);
    EXPECT_EQ(voices[3].volume, 31) << "heard only when the volume is recomputed";
    replayer_tick(song);
    EXPECT_EQ(voices[3].volume, 51);
    song_free(song);
}

TEST(ReplayerEffects, NoteDelayCutAndRetriggers) {
    XmModuleDef m = harness_module(4, 4);
    m.speed = 6;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_SET_VOLUME, 32};
    harness_cell(m, 1, 0) = {NOTE_C5, 1, 0x28, EFFECT_EXTENDED, 0xD3};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0xD0};
    harness_cell(m, 0, 2) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0xC3};
    harness_cell(m, 1, 2) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0xC0};
    harness_cell(m, 0, 3) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0x93};
    harness_cell(m, 1, 3) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0xE1};
    harness_cell(m, 1, 1) = {NOTE_C4, 1, 0, EFFECT_EXTENDED, 0x93};
    Song* song = harness_play(m);
    Ints cut, retrig;
    for (int t = 0; t < 6; t++) {
        replayer_tick(song);
        cut.push_back(voices[2].volume);
        retrig.push_back(int(channels[3].voice - voices));
    }
    EXPECT_EQ(voices[1].sample, nullptr) << "ED0 never starts the note";
    EXPECT_EQ(cut, (Ints{127, 127, 127, 0, 0, 0}));
    EXPECT_EQ(retrig, (Ints{3, 3, 3, 35, 35, 35}));

    // ED3 on the next row: the row tick restores the old volume and pitch and
    // tells the voice nothing; tick 3 starts the note with its column volume.
    voices[0].target_left = 1;
    replayer_tick(song);
    Channel& ch = channels[0];
    EXPECT_EQ(ch.volume, 32);
    EXPECT_EQ(ch.period, 4608);
    EXPECT_EQ(ch.voice, &voices[0]);
    EXPECT_EQ(voices[0].target_left, 1);
    harness_ticks(song, 2);
    EXPECT_EQ(ch.voice, &voices[0]);
    replayer_tick(song);
    EXPECT_EQ(ch.voice, &voices[32]);
    EXPECT_EQ(ch.volume, 24);
    EXPECT_EQ(ch.period, 3840);
    EXPECT_EQ(voices[32].volume, 47);
    EXPECT_EQ(channels[2].voice->volume, 127) << "EC0 never cuts";

    // E93 with a pattern delay (EE1, 12 ticks): triggers on 3, 6 and 9.
    Ints delayed;
    for (int t = 4; t < 12; t++) {
        replayer_tick(song);
        delayed.push_back(int(channels[1].voice - voices));
    }
    EXPECT_EQ(delayed, (Ints{33, 33, 1, 1, 1, 33, 33, 33}));
    song_free(song);
}

TEST(ReplayerEffects, MultiRetrigAndTremor) {
    XmModuleDef m = harness_module(4, 4);
    m.speed = 8;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, EFFECT_MULTI_RETRIG, 0x01};
    harness_cell(m, 0, 1) = {NOTE_C4, 1, 0x4C, EFFECT_MULTI_RETRIG, 0xA2};
    harness_cell(m, 0, 2) = {NOTE_C4, 1, 0, EFFECT_MULTI_RETRIG, 0x84};
    harness_cell(m, 0, 3) = {NOTE_C4, 1, 0, EFFECT_TREMOR, 0x12};
    harness_cell(m, 1, 3) = {0, 0, 0, EFFECT_TREMOR, 0};
    Song* song = harness_play(m);
    Ints every, louder, fourth, tremor;
    for (int t = 0; t < 8; t++) {
        replayer_tick(song);
        every.push_back(int(channels[0].voice - voices));
        louder.push_back(channels[1].volume);
        fourth.push_back(int(channels[2].voice - voices));
        tremor.push_back(voices[3].volume);
    }
    EXPECT_EQ(every, (Ints{0, 32, 0, 32, 0, 32, 0, 32}));
    EXPECT_EQ(louder, (Ints{60, 60, 62, 62, 64, 64, 64, 64}));
    EXPECT_EQ(fourth, (Ints{2, 2, 2, 2, 34, 34, 34, 34}));
    EXPECT_EQ(channels[0].voice->volume, 127) << "R01 keeps the volume";
    // Two ticks on, three off, counted on through the row boundary.
    EXPECT_EQ(tremor, (Ints{127, 127, 0, 0, 0, 127, 127, 0}));
    Ints next = per_tick(song, 3, [] { return voices[3].volume; });
    EXPECT_EQ(next, (Ints{0, 0, 127}));
    song_free(song);
}

TEST(ReplayerEffects, FineSlideMemoriesKeepTheLowNibble) {
    XmModuleDef m = harness_module(2, 8);
    m.speed = 1;
    m.instruments[0].vibrato_type = 5; // no such waveform: no vibrato
    m.instruments[0].vibrato_depth = 15;
    const XmCell rows[] = {
        {NOTE_C4, 1, 0x30, 0, 0},
        {0, 0, 0, EFFECT_EXTENDED, 0x12},
        {0, 0, 0, EFFECT_EXTENDED, 0x10},
        {0, 0, 0, EFFECT_EXTRA_FINE_PORTA, 0x15},
        {0, 0, 0, EFFECT_EXTRA_FINE_PORTA, 0x10},
        {0, 0, 0, EFFECT_EXTENDED, 0xA3},
        {0, 0, 0, EFFECT_EXTENDED, 0xB0},
        {0, 0, 0, EFFECT_EXTRA_FINE_PORTA, 0x35},
    };
    for (int row = 0; row < 8; row++) harness_cell(m, row, 0) = rows[row];
    Song* song = harness_play(m);
    Ints period, volume;
    for (int t = 0; t < 8; t++) {
        replayer_tick(song);
        period.push_back(channels[0].period);
        volume.push_back(channels[0].volume);
        EXPECT_EQ(channels[0].period_delta, 0);
    }
    EXPECT_EQ(period, (Ints{4608, 4600, 4592, 4587, 4582, 4582, 4582, 4582}));
    EXPECT_EQ(volume, (Ints{32, 32, 32, 32, 32, 35, 32, 32})) << "EA and EB share one memory";
    song_free(song);
}

// One channel, speed 3, linear periods: the cells of rows 0, 1 and 2, and
// what to watch on every tick of the three rows.
struct MemoryCase {
    const char* what;
    XmCell rows[3];
    std::function<int()> value;
    Ints want;
};

TEST(ReplayerEffects, ZeroParametersRepeatTheLastAndSlidesStopAtTheirLimits) {
    auto period = [] { return channels[0].period; };
    auto volume = [] { return channels[0].volume; };
    auto panning = [] { return channels[0].panning; };
    auto global = [] { return playback.global_volume; };
    const MemoryCase cases[] = {
        {"1xx then 100",
         {{NOTE_C4, 1, 0, EFFECT_PORTA_UP, 2}, {0, 0, 0, EFFECT_PORTA_UP, 0}, {}},
         period,
         {4608, 4600, 4592, 4592, 4584, 4576, 4576, 4576, 4576}},
        {"2xx then 200",
         {{NOTE_C4, 1, 0, EFFECT_PORTA_DOWN, 2}, {0, 0, 0, EFFECT_PORTA_DOWN, 0}, {}},
         period,
         {4608, 4616, 4624, 4624, 4632, 4640, 4640, 4640, 4640}},
        {"A0x then A00, down to 0",
         {{NOTE_C4, 1, 0x1C, EFFECT_VOLUME_SLIDE, 0x05},
          {0, 0, 0, EFFECT_VOLUME_SLIDE, 0},
          {0, 0, 0, EFFECT_VOLUME_SLIDE, 0}},
         volume,
         {12, 7, 2, 2, 0, 0, 0, 0, 0}},
        {"Ax0 then A00, up to 64",
         {{NOTE_C4, 1, 0x4C, EFFECT_VOLUME_SLIDE, 0x30}, {0, 0, 0, EFFECT_VOLUME_SLIDE, 0}, {}},
         volume,
         {60, 63, 64, 64, 64, 64, 64, 64, 64}},
        {"5xy and 6xy with 00 share A's memory",
         {{NOTE_C4, 1, 0, EFFECT_VOLUME_SLIDE, 0x04},
          {0, 0, 0, EFFECT_TONE_PORTA_SLIDE, 0},
          {0, 0, 0, EFFECT_VIBRATO_SLIDE, 0}},
         volume,
         {64, 60, 56, 56, 52, 48, 48, 44, 40}},
        {"H0x then H00, down to 0",
         {{NOTE_C4, 1, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0x0F},
          {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0},
          {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0}},
         global,
         {64, 49, 34, 34, 19, 4, 4, 0, 0}},
        {"Hx0 then H00, up to 64",
         {{NOTE_C4, 1, 0, EFFECT_GLOBAL_VOLUME, 60},
          {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0x30},
          {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0}},
         global,
         {60, 60, 60, 60, 63, 64, 64, 64, 64}},
        {"Px0 then P00, up to 255",
         {{NOTE_C4, 1, 0, EFFECT_SET_PANNING, 230},
          {0, 0, 0, EFFECT_PANNING_SLIDE, 0xA0},
          {0, 0, 0, EFFECT_PANNING_SLIDE, 0}},
         panning,
         {230, 230, 230, 230, 240, 250, 250, 255, 255}},
        {"P0x then P00, down to 0",
         {{NOTE_C4, 1, 0, EFFECT_SET_PANNING, 20},
          {0, 0, 0, EFFECT_PANNING_SLIDE, 0x06},
          {0, 0, 0, EFFECT_PANNING_SLIDE, 0}},
         panning,
         {20, 20, 20, 20, 14, 8, 8, 2, 0}},
        // The volume column slides on the row tick too.
        {"volume column 6x stops at 0",
         {{NOTE_C4, 1, 0x13, 0, 0}, {0, 0, 0x62, 0, 0}, {0, 0, 0x62, 0, 0}},
         volume,
         {3, 3, 3, 1, 0, 0, 0, 0, 0}},
        {"volume column 7x stops at 64",
         {{NOTE_C4, 1, 0x13, 0, 0}, {0, 0, 0x7F, 0, 0}, {0, 0, 0x7F, 0, 0}},
         volume,
         {3, 3, 3, 18, 33, 48, 63, 64, 64}},
        {"EAx then EA0, up to 64",
         {{NOTE_C4, 1, 0x4A, EFFECT_EXTENDED, 0xA3},
          {0, 0, 0, EFFECT_EXTENDED, 0xA0},
          {0, 0, 0, EFFECT_EXTENDED, 0xA0}},
         volume,
         {61, 61, 61, 64, 64, 64, 64, 64, 64}},
        {"EBx then EB0, down to 0",
         {{NOTE_C4, 1, 0x14, EFFECT_EXTENDED, 0xB3},
          {0, 0, 0, EFFECT_EXTENDED, 0xB0},
          {0, 0, 0, EFFECT_EXTENDED, 0xB0}},
         volume,
         {1, 1, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const MemoryCase& c : cases) {
        XmModuleDef m = harness_module(1, 3);
        m.speed = 3;
        for (int row = 0; row < 3; row++) harness_cell(m, row, 0) = c.rows[row];
        harness_song = harness_play(m);
        EXPECT_EQ(per_tick(harness_song, 9, c.value), c.want) << c.what;
        song_free(harness_song);
    }
}

TEST(ReplayerEffects, ASecondPlayRemembersNothingOfTheFirst) {
    // H02 on row 2 leaves a memory; the H00 on row 1 of the next play must
    // not find it (one Playback serves every play).
    XmModuleDef m = harness_module(1, 3);
    m.speed = 3;
    harness_cell(m, 0, 0) = {NOTE_C4, 1, 0, 0, 0};
    harness_cell(m, 1, 0) = {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0};
    harness_cell(m, 2, 0) = {0, 0, 0, EFFECT_GLOBAL_VOLUME_SLIDE, 0x02};
    harness_song = harness_play(m);
    auto global = [] { return playback.global_volume; };
    const Ints want = {64, 64, 64, 64, 64, 64, 64, 62, 60};
    EXPECT_EQ(per_tick(harness_song, 9, global), want) << "first play";
    harness_start(harness_song);
    EXPECT_EQ(per_tick(harness_song, 9, global), want) << "second play";
    song_free(harness_song);
}
