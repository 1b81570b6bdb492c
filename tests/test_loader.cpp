#include "music/output.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

const NoteCell& cell(const Song* song, int pattern, int row, int channel) {
    return song->patterns[pattern].cells[row * song->channel_count + channel];
}

XmSampleDef raw8(std::vector<int16_t> stored) {
    XmSampleDef s;
    s.pcm = std::move(stored);
    s.delta = false;
    return s;
}

} // namespace

TEST(Loader, HeaderAndOrderTable) {
    XmModuleDef m = test_module(6, 16);
    m.patterns.push_back(m.patterns[0]);
    m.orders = {1, 0, 2};
    m.restart = 1;
    m.speed = 5;
    m.bpm = 126;
    m.flags = 1;
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->song_length, 3);
    EXPECT_EQ(song->restart_position, 1);
    EXPECT_EQ(song->channel_count, 6);
    EXPECT_EQ(song->referenced_pattern_count, 3);
    EXPECT_EQ(song->pattern_count, 3);
    EXPECT_EQ(song->default_speed, 5);
    EXPECT_EQ(song->default_bpm, 126);
    EXPECT_EQ(song->flags, 1);
    EXPECT_EQ(song->initial_global_volume, 64);
    EXPECT_EQ(song->tick_handler, &replayer_tick);
    EXPECT_EQ(song->patterns[0].row_count, 16);
    EXPECT_EQ(song->patterns[2].row_count, 64) << "a pattern the file lacks has 64 empty rows";
    ASSERT_NE(song->patterns[2].cells, nullptr);
    EXPECT_EQ(cell(song, 2, 63, 5).note, 0);
    song_free(song);

    // Only the first song_length entries count; the whole table is kept.
    m.orders = {7, 9, 9};
    m.song_length = 0;
    song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->referenced_pattern_count, 0);
    EXPECT_EQ(song->pattern_count, 2);
    EXPECT_EQ(song->orders[1], 9);
    song_free(song);

    // A song length beyond the table is clamped to it.
    m.song_length = 300;
    m.orders.assign(256, 0);
    m.orders[255] = 4;
    song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->song_length, 256);
    EXPECT_EQ(song->pattern_count, 5);
    song_free(song);
}

TEST(Loader, RefusesWhatItCannotPlay) {
    std::vector<uint8_t> bytes = xm_write(test_module());
    Song* song = test_load_bytes(bytes);
    ASSERT_NE(song, nullptr);
    song_free(song);
    std::vector<uint8_t> bad = bytes;
    bad[9] = 'm'; // "Extended module: "
    EXPECT_EQ(test_load_bytes(bad), nullptr);
    bad = bytes;
    bad[16] = '_';
    EXPECT_EQ(test_load_bytes(bad), nullptr);
    EXPECT_EQ(test_load_bytes({'E', 'x'}), nullptr);

    for (int channels : {0, 33, 65535}) {
        bad = bytes;
        bad[68] = uint8_t(channels);
        bad[69] = uint8_t(channels >> 8);
        EXPECT_EQ(test_load_bytes(bad), nullptr) << channels << " channels";
    }
    XmModuleDef m = test_module();
    m.instruments.push_back(test_instrument({1, 2, 3}));
    m.instruments.push_back(test_instrument({1, 2, 3}));
    m.instruments[1].declared_sample_count = 17;
    EXPECT_EQ(test_load_module(m), nullptr);
}

TEST(Loader, UnpacksCells) {
    XmModuleDef m = test_module(2, 3);
    // empty | note+instrument | plain 5-byte cell | key off, instrument 129 |
    // instrument 128 only | every field through the mask
    m.patterns[0].raw_data = {128, 131, 12,  3,   49,   5, 0x40, 0x0C, 0x20, 131,
                              97,  129, 130, 128, 0x9f, 2, 1,    0x30, 0x0F, 0xFF};
    XmPatternDef empty;
    empty.rows = 32;
    empty.write_no_data = true;
    m.patterns.push_back(empty);
    XmPatternDef after;
    after.rows = 1;
    xm_cell(after, 2, 0, 1) = {60, 1, 0, 0, 0};
    m.patterns.push_back(after);
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    const NoteCell c0 = cell(song, 0, 0, 0), c1 = cell(song, 0, 0, 1), c2 = cell(song, 0, 1, 0),
                   c3 = cell(song, 0, 1, 1), c4 = cell(song, 0, 2, 0), c5 = cell(song, 0, 2, 1);
    EXPECT_EQ(c0.note + c0.instrument + c0.volume + c0.effect + c0.param, 0);
    EXPECT_EQ(c1.note, 12);
    EXPECT_EQ(c1.instrument, 3);
    EXPECT_EQ(c1.volume, 0);
    EXPECT_EQ(c2.note, 49);
    EXPECT_EQ(c2.instrument, 5);
    EXPECT_EQ(c2.volume, 0x40);
    EXPECT_EQ(c2.effect, 0x0C);
    EXPECT_EQ(c2.param, 0x20);
    EXPECT_EQ(c3.note, NOTE_KEY_OFF);
    EXPECT_EQ(c3.instrument, 0);
    EXPECT_EQ(c4.note, 0);
    EXPECT_EQ(c4.instrument, 128);
    EXPECT_EQ(c5.note, 2);
    EXPECT_EQ(c5.instrument, 1);
    EXPECT_EQ(c5.volume, 0x30);
    EXPECT_EQ(c5.effect, 0x0F);
    EXPECT_EQ(c5.param, 0xFF);
    EXPECT_EQ(song->patterns[1].row_count, 32);
    EXPECT_EQ(cell(song, 1, 31, 1).note, 0);
    EXPECT_EQ(cell(song, 2, 0, 1).note, 60) << "an empty pattern consumes only its header";
    song_free(song);
}

TEST(Loader, ZeroRowPatternBecomesSixtyFourEmptyRows) {
    XmModuleDef m = test_module(2, 0);
    m.patterns[0].raw_data = {0x81, 50}; // would be a cell, but nothing is read for 0 rows
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->patterns[0].row_count, 64);
    EXPECT_EQ(cell(song, 0, 63, 1).note, 0);
    song_free(song);
}

TEST(Loader, InstrumentHeaders) {
    XmModuleDef m = test_module();
    XmInstrumentDef none;
    none.header_size = 40; // 11 bytes of padding after the 29-byte header
    m.instruments.push_back(none);
    XmInstrumentDef env = test_instrument({10, 20});
    env.volume_envelope.point_count = 1;
    env.volume_envelope.type = 7;
    env.panning_envelope.point_count = 2;
    env.panning_envelope.type = 7;
    env.panning_envelope.x[1] = 10;
    env.panning_envelope.y[1] = 64;
    env.fadeout = 0x9000;
    env.keymap[95] = 3;
    env.vibrato_type = 2;
    env.vibrato_rate = 9;
    m.instruments.push_back(env);
    XmInstrumentDef many = test_instrument({1});
    many.samples.assign(16, many.samples[0]);
    many.volume_envelope.point_count = 20;
    many.volume_envelope.type = 1;
    m.instruments.push_back(many);
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    ASSERT_EQ(song->instrument_count, 3);

    const Instrument& i0 = song->instruments[0];
    EXPECT_EQ(i0.sample_count, 0);
    for (Sample* s : i0.samples) EXPECT_EQ(s, &empty_sample);
    EXPECT_EQ(i0.fadeout, 0);

    const Instrument& i1 = song->instruments[1];
    EXPECT_EQ(i1.sample_count, 1) << "the next instrument starts at start + header size";
    EXPECT_EQ(i1.volume_envelope.type, 0) << "one point: envelope off";
    EXPECT_EQ(i1.panning_envelope.type, 7);
    EXPECT_EQ(i1.panning_envelope.points[1].x, 10);
    EXPECT_EQ(i1.panning_envelope.points[1].y, 64);
    EXPECT_EQ(i1.fadeout, 0x2000) << "doubled, kept to 16 bits";
    EXPECT_EQ(i1.keymap[95], 3);
    EXPECT_EQ(i1.vibrato_type, 2);
    EXPECT_EQ(i1.vibrato_rate, 9);
    EXPECT_NE(i1.samples[0], &empty_sample);
    EXPECT_EQ(i1.samples[1], &empty_sample);
    EXPECT_EQ(i1.samples[0]->data[1], 20 << 8);

    const Instrument& i2 = song->instruments[2];
    EXPECT_EQ(i2.sample_count, 16);
    for (Sample* s : i2.samples) EXPECT_NE(s, &empty_sample);
    EXPECT_EQ(i2.volume_envelope.point_count, 12) << "point counts are clamped to the table";
    EXPECT_TRUE(song_free(song));
    EXPECT_EQ(empty_sample.data, nullptr);
}

TEST(Loader, SampleHeadersAndLoops) {
    XmModuleDef m = test_module();
    XmInstrumentDef ins;
    std::vector<int16_t> ramp(40);
    for (int i = 0; i < 40; i++) ramp[size_t(i)] = int16_t(i - 20);
    XmSampleDef s;
    s.pcm = ramp;
    s.loop = 3; // both bits: ping-pong
    s.loop_start = 10;
    s.loop_length = 20;
    ins.samples.push_back(s); // 0
    s.loop = 1;
    ins.samples.push_back(s); // 1: forward
    s.loop = 0;
    ins.samples.push_back(s); // 2: no loop despite a loop length
    s.loop = 1;
    s.loop_length = 0;
    ins.samples.push_back(s); // 3: forward with length 0 loop
    XmSampleDef wide;
    wide.bits = 16;
    wide.pcm.assign(500, 0);
    wide.pcm[499] = 1234;
    wide.loop = 1;
    wide.loop_start = 100;
    wide.loop_length = 200;
    ins.samples.push_back(wide);             // 4: 16-bit, byte counts halved
    ins.samples.push_back(raw8({1, 1, -2})); // 5
    XmSampleDef empty;
    empty.bits = 16;
    ins.samples.push_back(empty);     // 6
    ins.samples.push_back(raw8({5})); // 7: read right after the 16-bit data
    XmSampleDef beyond = s;
    beyond.loop_start = 30;
    beyond.loop_length = 50;
    ins.samples.push_back(beyond); // 8: loop end beyond the sample
    beyond.loop = 2;
    beyond.loop_start = 45;
    ins.samples.push_back(beyond); // 9: loop start beyond the sample
    m.instruments.push_back(ins);
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    Sample* const* sm = song->instruments[0].samples;

    EXPECT_EQ(sm[0]->loop_type, LOOP_PINGPONG);
    EXPECT_EQ(sm[0]->data[30], sm[0]->data[29]) << "ping-pong guard repeats the last loop frame";
    EXPECT_EQ(sm[0]->data[0], -20 << 8);
    EXPECT_EQ(sm[0]->data[-1], 0) << "a zero frame sits in front of every sample";
    EXPECT_EQ(sm[1]->loop_type, LOOP_FORWARD);
    EXPECT_EQ(sm[1]->data[30], sm[1]->data[10]) << "forward guard repeats the loop start";
    EXPECT_EQ(sm[2]->loop_type, LOOP_NONE);
    EXPECT_EQ(sm[2]->loop_start, 0u);
    EXPECT_EQ(sm[2]->loop_length, 40u);
    EXPECT_EQ(sm[2]->data[40], 0) << "no loop: zero after the last frame";
    EXPECT_EQ(sm[3]->loop_type, LOOP_NONE);
    EXPECT_EQ(sm[3]->loop_length, 40u);

    EXPECT_EQ(sm[4]->length, 500u);
    EXPECT_EQ(sm[4]->loop_start, 100u);
    EXPECT_EQ(sm[4]->loop_length, 200u);
    EXPECT_EQ(sm[4]->bits, 16);
    EXPECT_EQ(sm[4]->data[499], 1234);
    EXPECT_EQ(sm[5]->data[0], 256);
    EXPECT_EQ(sm[5]->data[1], 512);
    EXPECT_EQ(sm[5]->data[2], 0);
    EXPECT_EQ(sm[5]->bits, 16);
    EXPECT_EQ(sm[6]->length, 0u);
    EXPECT_EQ(sm[6]->data, nullptr);
    EXPECT_EQ(sm[6]->bits, 16) << "an empty sample keeps its header's bits";
    EXPECT_EQ(sm[7]->data[0], 5 << 8);

    EXPECT_EQ(sm[8]->loop_type, LOOP_FORWARD);
    EXPECT_EQ(sm[8]->loop_start, 30u);
    EXPECT_EQ(sm[8]->loop_length, 10u) << "a loop is cut back to the sample";
    EXPECT_EQ(sm[8]->data[40], sm[8]->data[30]);
    EXPECT_EQ(sm[9]->loop_type, LOOP_NONE);
    EXPECT_EQ(sm[9]->loop_start, 0u);
    EXPECT_EQ(sm[9]->loop_length, 40u);
    song_free(song);
}

TEST(Loader, SixteenBitDeltaAndOddByteLength) {
    XmModuleDef m = test_module();
    XmInstrumentDef ins;
    XmSampleDef s;
    s.bits = 16;
    s.pcm = {1000, -1000, 32767, -32768};
    s.header_length_bytes = 7; // odd: one byte less is read
    ins.samples.push_back(s);
    ins.samples.push_back(raw8({9, 9}));
    m.instruments.push_back(ins);
    std::vector<uint8_t> bytes = xm_write(m);
    // Keep 6 of the 8 data bytes: a 7-byte header length reads 3 frames, and the
    // next sample's data follows right after them.
    bytes.erase(bytes.end() - 4, bytes.end() - 2);
    Song* song = test_load_bytes(bytes);
    ASSERT_NE(song, nullptr);
    Sample* const* sm = song->instruments[0].samples;
    EXPECT_EQ(sm[0]->length, 3u);
    EXPECT_EQ(sm[0]->data[0], 1000);
    EXPECT_EQ(sm[0]->data[1], -1000);
    EXPECT_EQ(sm[0]->data[2], 32767);
    EXPECT_EQ(sm[1]->data[0], 0x0900);
    EXPECT_EQ(sm[1]->data[1], 0x1200);
    song_free(song);
}

namespace {
std::vector<std::vector<int32_t>> loader_calls;
void record_loader(void* dst, int32_t bytes, int32_t bits, int32_t ins, int32_t index) {
    loader_calls.push_back({bytes, bits, ins, index});
    uint8_t* out = static_cast<uint8_t*>(dst);
    for (int32_t i = 0; i < bytes; i++) out[i] = uint8_t(i + 1);
}
} // namespace

TEST(Loader, SampleLoaderReplacesStreamData) {
    XmModuleDef m = test_module();
    m.instruments.push_back(test_instrument({0, 0, 0}));
    XmInstrumentDef two;
    XmSampleDef empty;
    two.samples.push_back(empty);
    XmSampleDef wide;
    wide.bits = 16;
    wide.pcm = {7, 7};
    two.samples.push_back(wide);
    m.instruments.push_back(two);
    loader_calls.clear();
    Song* song = test_load_module(m, record_loader);
    ASSERT_NE(song, nullptr);
    ASSERT_EQ(loader_calls.size(), 2u) << "empty samples are not passed to the loader";
    EXPECT_EQ(loader_calls[0], (std::vector<int32_t>{3, 8, 0, 0}));
    EXPECT_EQ(loader_calls[1], (std::vector<int32_t>{4, 16, 1, 1}));
    Sample* a = song->instruments[0].samples[0];
    EXPECT_EQ(a->data[0], 1 << 8) << "loaded PCM is not delta-decoded";
    EXPECT_EQ(a->data[2], 3 << 8);
    Sample* b = song->instruments[1].samples[1];
    EXPECT_EQ(b->data[0], 0x0201);
    EXPECT_EQ(b->data[1], 0x0403);
    song_free(song);
}

TEST(Loader, TruncatedAndForgedFilesStayInBounds) {
    XmModuleDef m = test_module(4, 8);
    xm_cell(m.patterns[0], 4, 7, 3) = {30, 1, 0, 0, 0};
    XmInstrumentDef ins = test_instrument(std::vector<int16_t>(1000, 3));
    ins.samples[0].loop = 1;
    ins.samples[0].loop_start = 900;
    ins.samples[0].loop_length = 100;
    m.instruments.push_back(ins);
    std::vector<uint8_t> bytes = xm_write(m);

    // Cut inside the sample data: the sample shrinks to what is there.
    std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 500);
    Song* song = test_load_bytes(cut);
    ASSERT_NE(song, nullptr);
    Sample* s = song->instruments[0].samples[0];
    EXPECT_EQ(s->length, 500u);
    EXPECT_EQ(s->loop_type, LOOP_NONE) << "the loop started beyond what is left";
    EXPECT_EQ(s->loop_length, 500u);
    song_free(song);

    // A forged sample length of 4 GiB allocates only what the file supplies.
    XmModuleDef forged = m;
    forged.instruments[0].samples[0].header_length_bytes = 0xFFFFFFFF;
    song = test_load_module(forged);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->instruments[0].samples[0]->length, 1000u);
    song_free(song);

    // A file that ends inside a huge pattern: the cells decoded so far stay,
    // the rest of the pattern (and of the row the data ended in) is empty.
    XmModuleDef big = test_module(32, 65535);
    big.patterns[0].raw_data = {0x83, 50, 2, 0x81, 51, 12, 3, 0, 0, 0x80};
    big.declared_instrument_count = 32767; // none of them in the file
    std::vector<uint8_t> big_bytes = xm_write(big);
    song = test_load_bytes(big_bytes);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->patterns[0].row_count, 65535);
    EXPECT_EQ(cell(song, 0, 0, 0).note, 50);
    EXPECT_EQ(cell(song, 0, 0, 0).instrument, 2);
    EXPECT_EQ(cell(song, 0, 0, 1).note, 51);
    EXPECT_EQ(cell(song, 0, 0, 2).note, 12);
    EXPECT_EQ(cell(song, 0, 0, 2).instrument, 3);
    EXPECT_EQ(cell(song, 0, 0, 31).note, 0);
    EXPECT_EQ(cell(song, 0, 65534, 31).note, 0);
    EXPECT_EQ(song->missing_part, LOAD_PATTERN);
    EXPECT_EQ(song->missing_index, 0);
    ASSERT_EQ(song->instrument_count, 32767);
    for (int i : {0, 32766}) {
        EXPECT_EQ(song->instruments[i].sample_count, 0);
        for (Sample* slot : song->instruments[i].samples) EXPECT_EQ(slot, &empty_sample);
    }
    song_free(song);

    // Every prefix of the file loads or fails cleanly, never reading beyond it.
    for (size_t n = 0; n <= bytes.size(); n += (n < 400 ? 1 : 37)) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + long(n));
        song = test_load_bytes(prefix);
        if (n < 17) {
            EXPECT_EQ(song, nullptr);
        }
        if (song) {
            EXPECT_GE(song->patterns[0].row_count, 1);
            song_free(song);
        }
    }
}

// 16-bit frames are read straight into the sample's own buffer: the frame in
// front and the padding behind stay zero, whole or cut short (a cut file
// shortens its last sample to the frames it holds), for each of two samples.
TEST(Loader, SixteenBitFramesKeepTheirZeroFrameAndPadding) {
    XmModuleDef m = test_module();
    m.instruments.push_back(test_instrument(std::vector<int16_t>(200, -5), 16));
    m.instruments.push_back(test_instrument(std::vector<int16_t>(300, 7), 16));
    const std::vector<uint8_t> bytes = xm_write(m);
    for (size_t cut : {size_t(0), size_t(1), size_t(100), size_t(597)}) {
        SCOPED_TRACE(cut);
        Song* song = test_load_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end() - long(cut)));
        ASSERT_NE(song, nullptr);
        for (int32_t i = 0; i < 2; i++) {
            const Sample* s = song->instruments[i].samples[0];
            const uint32_t whole = i == 0 ? 200 : 300;
            const uint32_t length = i == 0 || cut == 0 ? whole : whole - uint32_t(cut + 1) / 2;
            ASSERT_EQ(s->length, length);
            ASSERT_NE(s->data, nullptr);
            EXPECT_EQ(s->data[-1], 0);
            for (int32_t k = 0; k < SAMPLE_PAD_BYTES / 2; k++) EXPECT_EQ(s->data[length + k], 0);
            EXPECT_EQ(s->data[length - 1], i == 0 ? -5 : 7);
        }
        song_free(song);
    }
}

// Widening 8-bit data (sixteen at a time) and delta decoding (eight at a
// time) run in groups with the rest one by one: every length around a
// group's edge, steps that wrap in 16 bits (and in 8), comes back frame for
// frame, with the sum carried from group to group.
TEST(Loader, DeltaSumsCarryAcrossGroupsOfEight) {
    for (int bits : {8, 16}) {
        for (uint32_t length = 1; length <= 34; length++) {
            SCOPED_TRACE(testing::Message() << bits << "-bit, " << length << " frames");
            std::vector<int16_t> pcm(length);
            for (uint32_t k = 0; k < length; k++) {
                const int32_t swing = (k % 3 == 1) ? 1 : -1; // full swings wrap the deltas
                pcm[k] = int16_t(bits == 8 ? swing * (127 - int32_t(k)) : swing * (32767 - 7 * k));
            }
            pcm[length - 1] = bits == 8 ? -128 : -32768;
            XmModuleDef m = test_module();
            m.instruments.push_back(test_instrument(pcm, bits));
            Song* song = test_load_bytes(xm_write(m));
            ASSERT_NE(song, nullptr);
            const Sample* s = song->instruments[0].samples[0];
            ASSERT_EQ(s->length, length);
            for (uint32_t k = 0; k < length; k++)
                ASSERT_EQ(s->data[k], bits == 8 ? pcm[k] * 256 : pcm[k]) << "frame " << k;
            EXPECT_EQ(s->data[length], 0) << "the padding is not summed into";
            song_free(song);
        }
    }
}

// A file cut off anywhere says where it first fell short; the whole file and
// every real module say nothing is missing.
TEST(Loader, NamesThePartACutFileLacks) {
    XmModuleDef m = test_module(2, 4);
    m.patterns.push_back(m.patterns[0]);
    m.orders = {0, 1};
    xm_cell(m.patterns[1], 2, 3, 1) = {40, 1, 0, 0, 0};
    m.instruments.push_back(test_instrument(std::vector<int16_t>(300, 5)));
    m.instruments.push_back(test_instrument(std::vector<int16_t>(200, -5), 16));
    const std::vector<uint8_t> bytes = xm_write(m);

    Song* song = test_load_bytes(bytes);
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->missing_part, LOAD_COMPLETE);
    song_free(song);

    auto missing = [&](size_t n, int32_t* index) {
        Song* cut = test_load_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(n)));
        if (!cut) return -1;
        const int part = cut->missing_part;
        *index = cut->missing_index;
        song_free(cut);
        return part;
    };
    int32_t index = -1;
    EXPECT_EQ(missing(bytes.size() - 1, &index), LOAD_SAMPLE);
    EXPECT_EQ(index, 1) << "the last byte belongs to the second instrument's data";
    EXPECT_EQ(missing(bytes.size() - 400, &index), LOAD_SAMPLE);
    EXPECT_EQ(index, 1) << "the 16-bit sample alone is 400 bytes";
    EXPECT_EQ(missing(60 + 276, &index), LOAD_PATTERN) << "cut right after the header";
    EXPECT_EQ(index, 0);
    EXPECT_EQ(missing(60 + 275, &index), LOAD_HEADER);

    // Longer prefixes fall short later in the file, never earlier: each
    // instrument's header comes before its sample data.
    int64_t last = -1, samples_seen = 0;
    for (size_t n = 17; n < bytes.size(); n++) {
        const int part = missing(n, &index);
        if (part < 0) continue;
        ASSERT_NE(part, LOAD_COMPLETE) << "a prefix of " << n << " bytes lacks something";
        const int64_t where = part <= LOAD_PATTERN ? int64_t(part) * 1000 + index
                                                   : 10000 + 2 * index + (part == LOAD_SAMPLE);
        EXPECT_GE(where, last) << n;
        samples_seen += part == LOAD_SAMPLE && index == 0;
        last = where;
    }
    EXPECT_GT(samples_seen, 250) << "the first sample's 300 bytes are seen cut";
}

TEST(Loader, EveryCorpusModuleLoadsAndFrees) {
    std::vector<std::string> files = test_corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << VLORP_CORPUS_DIR;
    for (const std::string& path : files) {
        FILE* f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr) << path;
        std::vector<uint8_t> bytes;
        int c;
        while ((c = fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
        fclose(f);
        Song* song = test_load_bytes(bytes);
        ASSERT_NE(song, nullptr) << path;
        EXPECT_EQ(song->missing_part, LOAD_COMPLETE) << path;
        EXPECT_GE(song->channel_count, 2) << path;
        EXPECT_GT(song->song_length, 0) << path;
        for (int i = 0; i < song->instrument_count; i++) {
            const Instrument& ins = song->instruments[i];
            for (int j = 0; j < ins.sample_count; j++) {
                const Sample* s = ins.samples[j];
                if (!s->data) continue;
                EXPECT_EQ(s->bits, 16);
                EXPECT_LE(uint64_t(s->loop_start) + s->loop_length, s->length) << path;
            }
        }
        EXPECT_TRUE(song_free(song));
    }
}

// A load that fails says why through the engine; the reason names the count
// that is out of range, or where the file was cut. A load that works clears it.
TEST(Loader, SaysWhyItStops) {
    XmModuleDef m = test_module(4, 4);
    m.name = "My Song";
    m.tracker = "Some Tracker 1.0";
    m.instruments.push_back(test_instrument(std::vector<int16_t>(10, 1)));
    const std::vector<uint8_t> bytes = xm_write(m);
    Song* song = test_load_bytes(bytes);
    ASSERT_NE(song, nullptr);
    EXPECT_STREQ(song_load_error(), "");
    EXPECT_EQ(std::string(song->title).substr(0, 7), "My Song");
    EXPECT_EQ(std::string(song->tracker).substr(0, 16), "Some Tracker 1.0");
    song_free(song);

    const std::vector<uint8_t> other(bytes.size(), 'M');
    EXPECT_EQ(test_load_bytes(other), nullptr);
    EXPECT_STREQ(song_load_error(), "not an XM module");
    EXPECT_EQ(test_load_bytes({}), nullptr);
    EXPECT_STREQ(song_load_error(), "not an XM module");

    // Every prefix short of the channel count's byte is a cut header, the
    // signature's own first bytes included; from there on the module loads.
    for (size_t n = 1; n <= 70; n++) {
        song = test_load_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(n)));
        if (n < 69) {
            EXPECT_EQ(song, nullptr) << n;
            EXPECT_EQ(std::string(song_load_error()), "header cut short at byte " +
                                                          std::to_string(n) +
                                                          " (the first 69 are needed)");
        } else {
            ASSERT_NE(song, nullptr) << n;
            EXPECT_EQ(song->missing_part, LOAD_HEADER);
            song_free(song);
        }
    }

    for (int channels : {0, 33}) {
        XmModuleDef bad = test_module(4, 4);
        bad.channels = channels;
        EXPECT_EQ(test_load_module(bad), nullptr);
        EXPECT_EQ(std::string(song_load_error()),
                  "channel count " + std::to_string(channels) + " out of range (1 to 32)");
    }
    XmModuleDef many = m;
    many.instruments.push_back(test_instrument(std::vector<int16_t>(10, 1)));
    many.instruments[1].declared_sample_count = 17;
    EXPECT_EQ(test_load_module(many), nullptr);
    EXPECT_STREQ(song_load_error(), "instrument 2 has 17 samples (at most 16)");
    many.instruments[1].declared_sample_count = 16; // the limit itself loads
    song = test_load_module(many);
    EXPECT_NE(song, nullptr) << song_load_error();
    song_free(song);
}

// Play and offline rendering start at the order chosen, within the song only.
TEST(Loader, StartOrderStaysInsideTheSong) {
    XmModuleDef m = test_module(2, 4);
    m.patterns.push_back(m.patterns[0]);
    m.orders = {0, 1, 0};
    Song* song = test_load_module(m);
    ASSERT_NE(song, nullptr);
    EXPECT_FALSE(song_set_start_order(song, 3));
    EXPECT_FALSE(song_set_start_order(song, -1));
    EXPECT_FALSE(song_set_start_order(nullptr, 0));
    EXPECT_TRUE(song_set_start_order(song, 2));
    ASSERT_TRUE(output_offline_start(song));
    TimeInfo info{};
    output_offline_mix_block(&info);
    EXPECT_EQ(info.order, 2);
    player_stop(song);
    song_free(song);
}
