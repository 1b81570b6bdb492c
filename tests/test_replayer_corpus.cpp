// Every corpus module, played through the offline block filler from its
// start to the point where it first repeats: no crash, no sanitizer report,
// and music that is neither silent nor clipped throughout.
#include "music/output.h"
#include "tests/replayer_harness.h"

#include <gtest/gtest.h>

namespace {

class ReplayerCorpus : public testing::TestWithParam<std::string> {};

TEST_P(ReplayerCorpus, PlaysToWhereItRepeats) {
    std::vector<uint8_t> bytes = test_read_file(GetParam());
    ASSERT_FALSE(bytes.empty());

    // Ticks alone find the length; the copy that is played is loaded afresh.
    Song* probe = test_load_bytes(bytes);
    ASSERT_NE(probe, nullptr);
    bool repeats = false;
    const int64_t frames = song_length_frames(probe, int64_t(30) * 60 * MIX_RATE, &repeats);
    EXPECT_TRUE(repeats) << "repeats within 30 minutes";
    song_free(probe);
    ASSERT_GT(frames, MIX_RATE);

    Song* song = test_load_bytes(bytes);
    ASSERT_NE(song, nullptr);
    ASSERT_TRUE(output_offline_start(song));
    const int64_t blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    int64_t samples = 0, nonzero = 0, clipped = 0;
    int32_t peak = 0;
    TimeInfo info{};
    for (int64_t b = 0; b < blocks; b++) {
        const int16_t* pcm = output_offline_mix_block(&info);
        ASSERT_NE(pcm, nullptr);
        for (int32_t i = 0; i < 2 * BLOCK_FRAMES; i++) {
            int32_t v = pcm[i] < 0 ? -pcm[i] : pcm[i];
            nonzero += v != 0;
            clipped += v >= 32767;
            if (v > peak) peak = v;
        }
        samples += 2 * BLOCK_FRAMES;
    }
    EXPECT_EQ(playback.repeated, 1) << "playing repeats where the silent run did";
    EXPECT_EQ(playback.repeat_frame, frames);
    EXPECT_GT(peak, 4000);
    EXPECT_GT(nonzero, samples / 2);
    EXPECT_LT(clipped, samples / 1000);
    player_stop(song);
    song_free(song);
}

} // namespace

// Says so when the corpus is missing (the suite below is then empty).
TEST(ReplayerCorpusFiles, Present) {
    if (test_corpus_files().empty()) GTEST_SKIP() << "no corpus at " VLORP_CORPUS_DIR;
}

INSTANTIATE_TEST_SUITE_P(Corpus, ReplayerCorpus, testing::ValuesIn(test_corpus_files()),
                         test_corpus_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReplayerCorpus);
