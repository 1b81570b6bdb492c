// Replays every input the fuzzer once found a fault with, and the seed
// modules, through load and offline playback: under the sanitizers any
// relapse shows up here without running the fuzzer.
#include "tests/fuzz/fuzz_play.h"
#include "tests/test_support.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>

static std::vector<std::string> files_in(const char* dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(std::string(dir) + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

static std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        int c;
        while ((c = fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
        fclose(f);
    }
    return bytes;
}

TEST(FuzzRegressions, EveryFoundInputStaysHarmless) {
    std::vector<std::string> files = files_in(VLORP_REGRESSIONS_DIR);
    if (files.empty()) GTEST_SKIP() << "no regression inputs yet";
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> bytes = read_all(path);
        fuzz_load_and_play(bytes.data(), bytes.size(), FUZZ_PLAY_BLOCKS);
        // The way the player target runs them: short ticks, many rows, and
        // every wide mixer path giving the plain path's bits.
        EXPECT_TRUE(fuzz_mixer_paths_agree(bytes.data(), bytes.size(), FUZZ_FAST_BLOCKS));
    }
}

TEST(FuzzRegressions, EveryPrefixAndBitFlipOfAModuleIsHarmless) {
    // A cheap deterministic stand-in for the fuzzer in every test run.
    XmModuleDef m = test_module(3, 8);
    m.instruments.push_back(test_instrument({0, 40, 80, 40, 0, -40, -80, -40}));
    m.instruments[0].samples[0].loop = 2;
    m.instruments[0].samples[0].loop_length = 8;
    m.instruments[0].volume_envelope.point_count = 3;
    m.instruments[0].volume_envelope.type = 7;
    for (int row = 0; row < 8; row++)
        xm_cell(m.patterns[0], 3, row, row % 3) = {uint8_t(40 + row), 1, 0x40, uint8_t(row), 0x21};
    std::vector<uint8_t> bytes = xm_write(m);
    int loaded = 0;
    for (size_t n = 0; n < bytes.size(); n += 7) loaded += fuzz_load_and_play(bytes.data(), n, 10);
    uint32_t state = 12345;
    for (int i = 0; i < 300; i++) {
        std::vector<uint8_t> mutated = bytes;
        for (int k = 0; k < 4; k++) {
            state = state * 1664525u + 1013904223u;
            size_t at = 17 + (state >> 8) % (mutated.size() - 17);
            mutated[at] ^= uint8_t(1u << (state & 7));
        }
        loaded += fuzz_load_and_play(mutated.data(), mutated.size(), 10);
    }
    EXPECT_GT(loaded, 0);
}
