// The public C interface: every misuse the header names gets its error code
// (and nothing crashes, under the sanitizers too), loads say why they fail,
// and what it renders is what the engine's own offline path renders.
#include "vlorp/xm.h"

#include "music/output.h"
#include "music/output_device.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- a device that accepts everything, or nothing -------------------------

bool device_opens = true;
const OutputDevice API_TEST_DEVICE = {
    [] { return device_opens; },
    [](const int16_t*, int32_t) {},
    [] { return int64_t(0); },
    [] {},
    [] {},
    nullptr,
    [] { return "test device refused"; },
    nullptr,
};

struct ApiTest : ::testing::Test {
    void SetUp() override {
        device_opens = true;
        output_set_device(&API_TEST_DEVICE);
    }
    void TearDown() override { output_set_device(nullptr); }
};

// A song that plays a note: one 8-bit sample, `rows` rows of one pattern,
// `orders` order entries naming it.
XmModuleDef song_with_note(int rows = 16, int orders = 1) {
    XmModuleDef def = test_module(2, rows);
    def.name = "api test song";
    def.orders.assign(size_t(orders), 0);
    std::vector<int16_t> pcm(400);
    for (size_t i = 0; i < pcm.size(); i++) pcm[i] = int16_t((i * 37) % 200 - 100);
    def.instruments.push_back(test_instrument(pcm));
    XmCell& cell = xm_cell(def.patterns[0], def.channels, 0, 0);
    cell.note = 49;
    cell.instrument = 1;
    return def;
}

vlorp_xm_module* load(const XmModuleDef& def) {
    std::vector<uint8_t> bytes = xm_write(def);
    vlorp_xm_module* m = nullptr;
    EXPECT_EQ(vlorp_xm_load_memory(bytes.data(), bytes.size(), &m), VLORP_XM_OK);
    return m;
}

std::vector<int16_t> render(vlorp_xm_module* m, int32_t blocks, int32_t start_order = 0,
                            std::vector<vlorp_xm_block_info>* info = nullptr) {
    std::vector<int16_t> pcm(static_cast<size_t>(blocks) * VLORP_XM_BLOCK_FRAMES * 2);
    std::vector<vlorp_xm_block_info> records(static_cast<size_t>(blocks));
    EXPECT_EQ(vlorp_xm_render_start(m, start_order), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_render(m, pcm.data(), blocks, records.data()), blocks);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    if (info) *info = records;
    return pcm;
}

// The same through the engine's own offline path, from a fresh load.
std::vector<int16_t> engine_render(const XmModuleDef& def, int32_t blocks) {
    Song* song = test_load_bytes(xm_write(def));
    EXPECT_NE(song, nullptr);
    EXPECT_TRUE(output_offline_start(song));
    std::vector<int16_t> pcm;
    for (int32_t k = 0; k < blocks; k++) {
        const int16_t* block = output_offline_mix_block(nullptr);
        pcm.insert(pcm.end(), block, block + VLORP_XM_BLOCK_FRAMES * 2);
    }
    song_free(song);
    return pcm;
}

} // namespace

TEST_F(ApiTest, VersionOfTheLibraryIsTheHeaders) {
    EXPECT_EQ(vlorp_xm_version(), uint32_t(VLORP_XM_VERSION));
    char expected[32];
    snprintf(expected, sizeof expected, "%d.%d.%d", VLORP_XM_VERSION_MAJOR, VLORP_XM_VERSION_MINOR,
             VLORP_XM_VERSION_PATCH);
    EXPECT_STREQ(vlorp_xm_version_string(), expected);
    EXPECT_STREQ(vlorp_xm_strerror(VLORP_XM_E_NOT_XM), "not an XM module");
    EXPECT_STREQ(vlorp_xm_strerror(12345), "unknown result");
}

TEST_F(ApiTest, LoadsSayWhyTheyFailAndLeaveNoModule) {
    vlorp_xm_module* m = reinterpret_cast<vlorp_xm_module*>(1);
    const char junk[] = "Extended Module? not quite";
    EXPECT_EQ(vlorp_xm_load_memory(junk, sizeof junk, &m), VLORP_XM_E_NOT_XM);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(vlorp_xm_load_memory(junk, 0, &m), VLORP_XM_E_NOT_XM);

    std::vector<uint8_t> good = xm_write(song_with_note());
    // Cut before the channel count (bytes 68 and 69), and inside it: a
    // count below 256 is whole in its first byte.
    EXPECT_EQ(vlorp_xm_load_memory(good.data(), 68, &m), VLORP_XM_E_SHORT);
    EXPECT_STREQ(vlorp_xm_load_error(), "header cut short at byte 68 (the first 69 are needed)");
    // Cut inside the signature: a module cut short, not some other file.
    EXPECT_EQ(vlorp_xm_load_memory(good.data(), 10, &m), VLORP_XM_E_SHORT);
    EXPECT_STREQ(vlorp_xm_load_error(), "header cut short at byte 10 (the first 69 are needed)");
    EXPECT_EQ(vlorp_xm_load_memory(good.data(), 69, &m), VLORP_XM_OK);
    EXPECT_STREQ(vlorp_xm_load_error(), "");
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_EQ(info.complete, 0);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);

    for (int channels : {0, 33}) {
        XmModuleDef def = song_with_note();
        def.channels = channels;
        def.patterns[0].cells.clear();
        std::vector<uint8_t> bytes = xm_write(def);
        EXPECT_EQ(vlorp_xm_load_memory(bytes.data(), bytes.size(), &m), VLORP_XM_E_CHANNELS)
            << channels << " channels";
        EXPECT_EQ(vlorp_xm_load_error(),
                  "channel count " + std::to_string(channels) + " out of range (1 to 32)");
    }
    XmModuleDef def = song_with_note();
    def.instruments[0].declared_sample_count = 17;
    std::vector<uint8_t> bytes = xm_write(def);
    EXPECT_EQ(vlorp_xm_load_memory(bytes.data(), bytes.size(), &m), VLORP_XM_E_SAMPLES);
    EXPECT_EQ(m, nullptr);
    EXPECT_STREQ(vlorp_xm_load_error(), "instrument 1 has 17 samples (at most 16)");
    EXPECT_EQ(vlorp_xm_load_memory(junk, sizeof junk, nullptr), VLORP_XM_E_NULL);
    EXPECT_STREQ(vlorp_xm_load_error(), vlorp_xm_strerror(VLORP_XM_E_NULL));

    EXPECT_EQ(vlorp_xm_load_file("/nonexistent/song.xm", &m), VLORP_XM_E_OPEN);
    EXPECT_STREQ(vlorp_xm_load_error(), strerror(ENOENT));
    EXPECT_EQ(vlorp_xm_load_file(VLORP_SOURCE_DIR, &m), VLORP_XM_E_OPEN); // a folder
    EXPECT_STRNE(vlorp_xm_load_error(), "");
    EXPECT_EQ(m, nullptr);
}

TEST_F(ApiTest, NullPointersAreRefused) {
    vlorp_xm_module* m = nullptr;
    EXPECT_EQ(vlorp_xm_load_memory(nullptr, 10, &m), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_load_memory("x", 1, nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_load_file(nullptr, &m), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_load_file("x.xm", nullptr), VLORP_XM_E_NULL);
    vlorp_xm_stream_callbacks partial = {};
    EXPECT_EQ(vlorp_xm_load_stream(nullptr, "", nullptr, &m), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_load_stream(&partial, "", nullptr, &m), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_free(nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_play(nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_stop(nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_render_start(nullptr, 0), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_render(nullptr, nullptr, 0, nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_render_stop(nullptr), VLORP_XM_E_NULL);
    vlorp_xm_info info;
    vlorp_xm_position position;
    EXPECT_EQ(vlorp_xm_get_info(nullptr, &info), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_get_position(nullptr, &position), VLORP_XM_E_NULL);

    m = load(song_with_note());
    EXPECT_EQ(vlorp_xm_get_info(m, nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_get_position(m, nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_render(m, nullptr, 1, nullptr), VLORP_XM_E_NULL);
    EXPECT_EQ(vlorp_xm_render(m, nullptr, 0, nullptr), 0); // nothing asked, nothing written
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, FreedAndForeignHandlesAreRefused) {
    vlorp_xm_module* m = load(song_with_note());
    ASSERT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
    vlorp_xm_info info;
    vlorp_xm_position position;
    int16_t pcm[VLORP_XM_BLOCK_FRAMES * 2];
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_play(m), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_get_position(m, &position), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_render(m, pcm, 1, nullptr), VLORP_XM_E_BAD_HANDLE);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_E_BAD_HANDLE);
    int not_a_module = 0;
    EXPECT_EQ(vlorp_xm_free(reinterpret_cast<vlorp_xm_module*>(&not_a_module)),
              VLORP_XM_E_BAD_HANDLE);
}

TEST_F(ApiTest, OneSongHoldsTheOutputAtATime) {
    vlorp_xm_module* a = load(song_with_note());
    vlorp_xm_module* b = load(song_with_note());
    vlorp_xm_module* c = load(song_with_note());
    vlorp_xm_position position;
    EXPECT_EQ(vlorp_xm_stop(a), VLORP_XM_E_NOT_STARTED);
    EXPECT_EQ(vlorp_xm_get_position(a, &position), VLORP_XM_E_NOT_STARTED);

    ASSERT_EQ(vlorp_xm_play(a), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_play(a), VLORP_XM_E_BUSY); // a second play
    EXPECT_EQ(vlorp_xm_play(b), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_render_start(a, 0), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_render_start(b, 0), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_render_stop(a), VLORP_XM_E_NOT_STARTED); // playing, not rendering
    EXPECT_EQ(vlorp_xm_free(a), VLORP_XM_E_BUSY);               // free while playing
    EXPECT_EQ(vlorp_xm_stop(b), VLORP_XM_E_NOT_STARTED);
    EXPECT_EQ(vlorp_xm_get_position(b, &position), VLORP_XM_E_NOT_STARTED);
    // Freeing another module leaves the playing one playing.
    EXPECT_EQ(vlorp_xm_free(c), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_get_position(a, &position), VLORP_XM_OK);
    EXPECT_EQ(position.order, 0);
    EXPECT_EQ(vlorp_xm_stop(a), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_stop(a), VLORP_XM_E_NOT_STARTED);

    ASSERT_EQ(vlorp_xm_render_start(b, 0), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_play(a), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_render_start(b, 0), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_stop(b), VLORP_XM_E_NOT_STARTED); // rendering, not playing
    EXPECT_EQ(vlorp_xm_free(b), VLORP_XM_E_BUSY);
    int16_t pcm[VLORP_XM_BLOCK_FRAMES * 2];
    EXPECT_EQ(vlorp_xm_render(a, pcm, 1, nullptr), VLORP_XM_E_NOT_STARTED);
    EXPECT_EQ(vlorp_xm_render_stop(b), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_render(b, pcm, 1, nullptr), VLORP_XM_E_NOT_STARTED);
    EXPECT_EQ(vlorp_xm_render_stop(b), VLORP_XM_E_NOT_STARTED);

    EXPECT_EQ(vlorp_xm_play(b), VLORP_XM_OK); // the output is free again
    EXPECT_EQ(vlorp_xm_stop(b), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(a), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(b), VLORP_XM_OK);
}

TEST_F(ApiTest, PlayFromStartsThereOnceAndChecksTheOrder) {
    vlorp_xm_module* m = load(song_with_note(16, 3));
    EXPECT_EQ(vlorp_xm_play_from(m, 3), VLORP_XM_E_ARGUMENT); // one past the last order
    EXPECT_EQ(vlorp_xm_play_from(m, -1), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_play_from(nullptr, 0), VLORP_XM_E_NULL);
    vlorp_xm_position position;
    EXPECT_EQ(vlorp_xm_get_position(m, &position), VLORP_XM_E_NOT_STARTED); // nothing started

    ASSERT_EQ(vlorp_xm_play_from(m, 2), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_play_from(m, 1), VLORP_XM_E_BUSY);
    ASSERT_EQ(vlorp_xm_get_position(m, &position), VLORP_XM_OK);
    EXPECT_EQ(position.order, 2);
    EXPECT_EQ(position.row, 0);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);

    // The start order is that play's only: the next play and render begin
    // at order 0, and the length still counts from the song's start.
    int16_t pcm[VLORP_XM_BLOCK_FRAMES * 2];
    vlorp_xm_block_info block;
    ASSERT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_render(m, pcm, 1, &block), 1);
    EXPECT_EQ(block.order, 0);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_play_from(m, 2), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_position(m, &position), VLORP_XM_OK);
    EXPECT_EQ(position.order, 0);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    vlorp_xm_module* fresh = load(song_with_note(16, 3));
    vlorp_xm_info played, loaded;
    ASSERT_EQ(vlorp_xm_get_info(m, &played), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(fresh, &loaded), VLORP_XM_OK);
    EXPECT_EQ(played.length_frames, loaded.length_frames);
    EXPECT_EQ(vlorp_xm_free(fresh), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, NoDeviceIsAnErrorThatLeavesTheOutputFree) {
    vlorp_xm_module* m = load(song_with_note());
    device_opens = false;
    EXPECT_EQ(vlorp_xm_play(m), VLORP_XM_E_DEVICE);
    EXPECT_STREQ(vlorp_xm_device_error(), "test device refused");
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_E_NOT_STARTED);
    device_opens = true;
    EXPECT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, RenderArgumentsAreChecked) {
    vlorp_xm_module* m = load(song_with_note(16, 3));
    EXPECT_EQ(vlorp_xm_render_start(m, -1), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_render_start(m, 3), VLORP_XM_E_ARGUMENT); // one past the last order
    ASSERT_EQ(vlorp_xm_render_start(m, 2), VLORP_XM_OK);
    int16_t pcm[VLORP_XM_BLOCK_FRAMES * 2];
    EXPECT_EQ(vlorp_xm_render(m, pcm, -1, nullptr), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);

    XmModuleDef empty = song_with_note();
    empty.orders.clear(); // no orders: only order 0 is a start
    m = load(empty);
    EXPECT_EQ(vlorp_xm_render_start(m, 1), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, InfoTellsWhatTheModuleHolds) {
    XmModuleDef def = song_with_note(16, 3);
    def.speed = 3;
    def.bpm = 150;
    def.restart = 1;
    def.flags = 0;
    vlorp_xm_module* m = load(def);
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_STREQ(info.title, "api test song");
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.orders, 3);
    EXPECT_EQ(info.restart_order, 1);
    EXPECT_EQ(info.patterns, 1);
    EXPECT_EQ(info.instruments, 1);
    EXPECT_EQ(info.samples, 1);
    EXPECT_EQ(info.tempo, 150);
    EXPECT_EQ(info.speed, 3);
    EXPECT_EQ(info.linear_frequency, 0);
    EXPECT_EQ(info.complete, 1);
    EXPECT_EQ(info.repeats, 1);
    // Three orders of 16 rows of 3 ticks, then the wrap to order 1 repeats.
    const int64_t tick = replayer_tick_frames(150);
    EXPECT_EQ(info.length_frames, 3 * 16 * 3 * tick);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, InfoSaysWhatAFileHoldsAndWhatItLacks) {
    XmModuleDef def = song_with_note(16, 2);
    def.tracker = "Tracker 2.04   "; // padded with blanks, as stored
    def.flags = 0x0201;              // linear, and a bit nobody defined
    def.orders = {2, 0};             // names a pattern the file lacks
    def.instruments.push_back(test_instrument(std::vector<int16_t>(77, 5)));
    vlorp_xm_module* m = load(def);
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_STREQ(info.tracker, "Tracker 2.04");
    EXPECT_EQ(info.flags, 0x0201);
    EXPECT_EQ(info.linear_frequency, 1);
    EXPECT_EQ(info.referenced_patterns, 3);
    EXPECT_EQ(info.patterns, 3);
    EXPECT_EQ(info.samples, 2);
    EXPECT_EQ(info.sample_frames, 400 + 77);
    EXPECT_EQ(info.missing_part, VLORP_XM_MISSING_NONE);
    EXPECT_EQ(info.missing_index, 0);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);

    // Cut inside the second instrument's sample data, then inside the
    // first instrument's header: the part first missing, counted from 0.
    const std::vector<uint8_t> bytes = xm_write(def);
    ASSERT_EQ(vlorp_xm_load_memory(bytes.data(), bytes.size() - 10, &m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_EQ(info.complete, 0);
    EXPECT_EQ(info.missing_part, VLORP_XM_MISSING_SAMPLES);
    EXPECT_EQ(info.missing_index, 1);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
    XmModuleDef bare = def;
    bare.instruments.clear();
    const size_t instruments_at = xm_write(bare).size();
    ASSERT_EQ(vlorp_xm_load_memory(bytes.data(), instruments_at + 5, &m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_EQ(info.missing_part, VLORP_XM_MISSING_INSTRUMENT);
    EXPECT_EQ(info.missing_index, 0);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, LengthFromAnOrderCountsFromThere) {
    vlorp_xm_module* m = load(song_with_note(16, 3));
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    int64_t frames = 0;
    uint8_t repeats = 0;
    ASSERT_EQ(vlorp_xm_get_length(m, 0, &frames, &repeats), VLORP_XM_OK);
    EXPECT_EQ(frames, info.length_frames);
    EXPECT_EQ(repeats, 1);
    // From the last order the wrap comes after one order of three.
    ASSERT_EQ(vlorp_xm_get_length(m, 2, &frames, nullptr), VLORP_XM_OK);
    EXPECT_EQ(frames, info.length_frames / 3);
    EXPECT_EQ(vlorp_xm_get_length(m, 3, &frames, nullptr), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_get_length(m, -1, &frames, nullptr), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_get_length(m, 0, nullptr, nullptr), VLORP_XM_E_NULL);
    ASSERT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_get_length(m, 0, &frames, nullptr), VLORP_XM_E_BUSY);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, AModuleLoadedDuringPlaybackIsMeasuredOnceTheOutputIsFree) {
    vlorp_xm_module* a = load(song_with_note());
    ASSERT_EQ(vlorp_xm_play(a), VLORP_XM_OK);
    vlorp_xm_module* b = load(song_with_note(8));
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(b, &info), VLORP_XM_OK);
    EXPECT_EQ(info.length_frames, -1);
    EXPECT_EQ(vlorp_xm_stop(a), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(b, &info), VLORP_XM_OK);
    EXPECT_EQ(info.length_frames, 8 * 6 * int64_t(replayer_tick_frames(125)));
    EXPECT_EQ(vlorp_xm_free(a), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(b), VLORP_XM_OK);

    // A module only played, then asked during its own playback: measured
    // when the play began. One only rendered is not measured meanwhile.
    vlorp_xm_module* c = load(song_with_note(8));
    ASSERT_EQ(vlorp_xm_play(c), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(c, &info), VLORP_XM_OK);
    EXPECT_EQ(info.length_frames, 8 * 6 * int64_t(replayer_tick_frames(125)));
    EXPECT_EQ(vlorp_xm_stop(c), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(c), VLORP_XM_OK);
    c = load(song_with_note(8));
    ASSERT_EQ(vlorp_xm_render_start(c, 0), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(c, &info), VLORP_XM_OK);
    EXPECT_EQ(info.length_frames, -1);
    EXPECT_EQ(vlorp_xm_render_stop(c), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_info(c, &info), VLORP_XM_OK);
    EXPECT_EQ(info.length_frames, 8 * 6 * int64_t(replayer_tick_frames(125)));
    EXPECT_EQ(vlorp_xm_free(c), VLORP_XM_OK);
}

TEST_F(ApiTest, RenderIsTheEnginesOfflineRender) {
    XmModuleDef def = song_with_note(32);
    vlorp_xm_module* m = load(def);
    std::vector<int16_t> pcm = render(m, 40);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
    EXPECT_EQ(pcm, engine_render(def, 40));
    EXPECT_NE(std::count(pcm.begin(), pcm.end(), 0), int64_t(pcm.size()));
}

TEST_F(ApiTest, PastEndMarksTheFirstBlockAtOrAfterTheRepeat) {
    vlorp_xm_module* m = load(song_with_note(16, 2));
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    const int64_t first_past =
        (info.length_frames + VLORP_XM_BLOCK_FRAMES - 1) / VLORP_XM_BLOCK_FRAMES;
    std::vector<vlorp_xm_block_info> records;
    render(m, int32_t(first_past) + 2, 0, &records);
    EXPECT_EQ(records[size_t(first_past) - 1].past_end, 0);
    EXPECT_EQ(records[size_t(first_past)].past_end, 1);
    EXPECT_EQ(records[size_t(first_past) + 1].past_end, 1);
    EXPECT_EQ(records[0].order, 0);

    // From the second order the song repeats after that one order.
    render(m, int32_t(first_past), 1, &records);
    const int64_t half =
        (info.length_frames / 2 + VLORP_XM_BLOCK_FRAMES - 1) / VLORP_XM_BLOCK_FRAMES;
    EXPECT_EQ(records[0].order, 1);
    EXPECT_EQ(records[size_t(half) - 1].past_end, 0);
    EXPECT_EQ(records[size_t(half)].past_end, 1);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

TEST_F(ApiTest, EveryRenderSoundsLikeTheFirst) {
    // Set finetune (E5x) changes the sample while the song plays; a second
    // render starts from the module as loaded.
    XmModuleDef def = song_with_note(16);
    XmCell& cell = xm_cell(def.patterns[0], def.channels, 4, 0);
    cell.note = 49;
    cell.instrument = 1;
    cell.effect = 0xE;
    cell.param = 0x5C;
    vlorp_xm_module* m = load(def);
    vlorp_xm_info info; // measures the length: the song has run once
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    std::vector<int16_t> first = render(m, 30);
    EXPECT_EQ(first, engine_render(def, 30));
    EXPECT_EQ(render(m, 30), first);
    ASSERT_EQ(vlorp_xm_play(m), VLORP_XM_OK); // playback mixes two seconds at once
    ASSERT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    EXPECT_EQ(render(m, 30), first);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

namespace {

std::vector<uint8_t> stream_bytes;
int32_t stream_position;
int opens, closes, inner_result, sample_calls;
vlorp_xm_module* inner_module;

vlorp_xm_stream_handle s_open(const char* name) {
    opens++;
    if (strcmp(name, "song") != 0) return nullptr;
    stream_position = 0;
    inner_result = vlorp_xm_get_info(inner_module, nullptr); // a call from inside a load
    return &stream_bytes;
}
void s_close(vlorp_xm_stream_handle) {
    closes++;
}
int32_t s_read(void* buffer, int32_t count, vlorp_xm_stream_handle) {
    int32_t n = std::max(0, std::min(count, int32_t(stream_bytes.size()) - stream_position));
    memcpy(buffer, stream_bytes.data() + stream_position, size_t(n));
    stream_position += n;
    return n;
}
void s_seek(vlorp_xm_stream_handle, int32_t offset, uint8_t origin) {
    int32_t size = int32_t(stream_bytes.size());
    int32_t base = origin == VLORP_XM_SEEK_SET   ? 0
                   : origin == VLORP_XM_SEEK_CUR ? stream_position
                                                 : size;
    stream_position = std::clamp(base + offset, 0, size);
}
int32_t s_tell(vlorp_xm_stream_handle) {
    return stream_position;
}
void s_samples(void* destination, int32_t byte_count, int32_t bits, int32_t instrument,
               int32_t sample) {
    sample_calls++;
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(instrument, 0);
    EXPECT_EQ(sample, 0);
    memset(destination, 0x20, size_t(byte_count)); // plain PCM, not delta-coded
}

} // namespace

TEST_F(ApiTest, StreamsLoadLikeMemoryAndTheirCallbacksCannotCallBack) {
    XmModuleDef def = song_with_note(16);
    stream_bytes = xm_write(def);
    inner_module = load(def);
    const vlorp_xm_stream_callbacks callbacks = {s_open, s_close, s_read, s_seek, s_tell};
    vlorp_xm_module* m = nullptr;
    opens = closes = 0;
    EXPECT_EQ(vlorp_xm_load_stream(&callbacks, "other", nullptr, &m), VLORP_XM_E_OPEN);
    EXPECT_EQ(m, nullptr);
    EXPECT_STREQ(vlorp_xm_load_error(), "the stream source could not open it");
    ASSERT_EQ(vlorp_xm_load_stream(&callbacks, "song", nullptr, &m), VLORP_XM_OK);
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 1); // the one that opened
    EXPECT_EQ(inner_result, VLORP_XM_E_REENTRANT);
    EXPECT_EQ(render(m, 20), render(inner_module, 20));
    vlorp_xm_info info;
    ASSERT_EQ(vlorp_xm_get_info(m, &info), VLORP_XM_OK);
    EXPECT_STREQ(info.title, "api test song");
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);

    sample_calls = 0;
    ASSERT_EQ(vlorp_xm_load_stream(&callbacks, "song", s_samples, &m), VLORP_XM_OK);
    EXPECT_EQ(sample_calls, 1);
    EXPECT_NE(render(m, 20), render(inner_module, 20));
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(inner_module), VLORP_XM_OK);
}

TEST_F(ApiTest, CallsFromTwoThreadsAreSerialised) {
    vlorp_xm_module* m = load(song_with_note());
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread watcher([&] {
        vlorp_xm_position p;
        while (!done) {
            int32_t r = vlorp_xm_get_position(m, &p);
            if (r != VLORP_XM_OK && r != VLORP_XM_E_NOT_STARTED) bad++;
        }
    });
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
        EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    }
    done = true;
    watcher.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}

namespace {

// A device that has played what the test says, at the time the test says
// (the mixing thread reads both while the test moves them).
std::atomic<double> fake_now = 1000.0;
std::atomic<int64_t> device_played = 0;
double fake_clock() {
    return fake_now;
}
const OutputDevice REPORTING_DEVICE = {
    [] { return true; },
    [](const int16_t*, int32_t) {},
    []() -> int64_t { return device_played; },
    [] {},
    [] {},
    nullptr,
    nullptr,
    [](OutputReport* r) {
        *r = {fake_now.load(), device_played.load(), int64_t(100) * VLORP_XM_BLOCK_FRAMES};
        return true;
    },
};

} // namespace

TEST_F(ApiTest, TheHeardPositionFollowsTheDeviceAndNeverGoesBack) {
    // Rows of one tick at 125 bpm: 882 frames, so blocks end on different rows.
    XmModuleDef def = song_with_note(64, 2);
    def.speed = 1;
    vlorp_xm_module* m = load(def);
    std::vector<vlorp_xm_block_info> blocks;
    render(m, 100, 0, &blocks);

    vlorp_xm_heard h;
    EXPECT_EQ(vlorp_xm_get_heard(m, 0, &h), VLORP_XM_E_NOT_STARTED);
    output_set_clock(fake_clock);
    output_set_device(&REPORTING_DEVICE);
    fake_now = 1000.0;
    device_played = 0;
    ASSERT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now, &h), VLORP_XM_OK);
    EXPECT_EQ(h.frames, 0);
    EXPECT_EQ(h.delay_frames, 100 * VLORP_XM_BLOCK_FRAMES);
    EXPECT_EQ(vlorp_xm_get_heard(m, NAN, &h), VLORP_XM_E_ARGUMENT);
    EXPECT_EQ(vlorp_xm_get_heard(m, fake_now, nullptr), VLORP_XM_E_NULL);

    // The device moves: the position meets it at once, in block 37, whose
    // order and row are the render's (not those of the block mixed last).
    fake_now += 1.0;
    device_played = 37 * VLORP_XM_BLOCK_FRAMES + 300;
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now, &h), VLORP_XM_OK);
    EXPECT_EQ(h.frames, double(device_played));
    EXPECT_EQ(h.ms, device_played * 1000 / VLORP_XM_SAMPLE_RATE);
    EXPECT_EQ(h.delay_frames, 100 * VLORP_XM_BLOCK_FRAMES - device_played);
    EXPECT_EQ(h.order, blocks[37].order);
    EXPECT_EQ(h.row, blocks[37].row);
    EXPECT_NE(h.row, blocks[36].row);

    // A look ahead of 10 ms runs on at the nominal rate; asked again for
    // now, the answer does not go back. Too far ahead is the limit.
    fake_now += 0.001;
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now + 0.01, &h), VLORP_XM_OK);
    const double ahead = h.frames;
    EXPECT_NEAR(ahead, device_played + 0.011 * VLORP_XM_SAMPLE_RATE, 0.01 * VLORP_XM_SAMPLE_RATE);
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now, &h), VLORP_XM_OK);
    EXPECT_GE(h.frames, ahead);
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now + 60, &h), VLORP_XM_OK);
    EXPECT_LE(h.frames,
              device_played + (0.002 + VLORP_XM_HEARD_AHEAD_LIMIT) * VLORP_XM_SAMPLE_RATE);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_get_heard(m, fake_now, &h), VLORP_XM_E_NOT_STARTED);

    // A new play starts from 0 again.
    device_played = 0;
    ASSERT_EQ(vlorp_xm_play(m), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_get_heard(m, fake_now, &h), VLORP_XM_OK);
    EXPECT_EQ(h.frames, 0);
    EXPECT_EQ(vlorp_xm_stop(m), VLORP_XM_OK);
    output_set_clock(nullptr);

    // Rendering: what was rendered, nothing delayed.
    int16_t pcm[3 * VLORP_XM_BLOCK_FRAMES * 2];
    ASSERT_EQ(vlorp_xm_render_start(m, 0), VLORP_XM_OK);
    ASSERT_EQ(vlorp_xm_render(m, pcm, 3, nullptr), 3);
    ASSERT_EQ(vlorp_xm_get_heard(m, 0, &h), VLORP_XM_OK);
    EXPECT_EQ(h.frames, 3 * VLORP_XM_BLOCK_FRAMES);
    EXPECT_EQ(h.delay_frames, 0);
    EXPECT_EQ(h.row, blocks[2].row);
    EXPECT_EQ(vlorp_xm_render_stop(m), VLORP_XM_OK);
    EXPECT_EQ(vlorp_xm_free(m), VLORP_XM_OK);
}
