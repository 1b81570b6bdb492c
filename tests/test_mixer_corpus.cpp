// Real modules through every path of the mixer's inner loops: each corpus
// song, rendered once through to where it repeats on the widest path this
// processor runs, gives exactly the PCM of the plain path; and offline
// rendering into one scratch block, or into the caller's buffer, gives
// exactly the PCM of the ring the device plays from.
#include "music/mixer.h"
#include "music/output.h"
#include "tests/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// Blocks up to the one in which the song first repeats (at most 30 minutes).
int64_t song_blocks(const std::vector<uint8_t>& bytes) {
    Song* probe = test_load_bytes(bytes);
    if (!probe) return 0;
    bool repeats = false;
    const int64_t frames = song_length_frames(probe, int64_t(30) * 60 * MIX_RATE, &repeats);
    song_free(probe);
    return (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
}

// The song's PCM over `blocks` blocks on `path`. With the scratch block,
// every other block is mixed straight into the caller's buffer instead.
std::vector<int16_t> render(const std::vector<uint8_t>& bytes, int64_t blocks, MixerPath path,
                            OfflineBuffers buffers = OFFLINE_SCRATCH) {
    std::vector<int16_t> pcm;
    if (!mixer_set_path(path)) return pcm;
    Song* song = test_load_bytes(bytes);
    if (!song || !output_offline_start(song, buffers)) return pcm;
    pcm.resize(size_t(blocks) * BLOCK_FRAMES * 2);
    for (int64_t b = 0; b < blocks; b++) {
        int16_t* into = pcm.data() + size_t(b) * BLOCK_FRAMES * 2;
        if (buffers == OFFLINE_SCRATCH && b % 2) {
            if (!output_offline_mix_block_into(into, nullptr)) pcm.clear();
        } else {
            const int16_t* block = output_offline_mix_block(nullptr);
            std::copy(block, block + 2 * BLOCK_FRAMES, into);
        }
        if (pcm.empty()) break;
    }
    player_stop(song);
    song_free(song);
    return pcm;
}

class MixerCorpus : public testing::TestWithParam<std::string> {
  protected:
    void TearDown() override { mixer_set_path(mixer_widest_path()); }
};

TEST_P(MixerCorpus, WidestPathRendersThePlainPathsBits) {
    const MixerPath widest = mixer_widest_path();
    if (widest == MIXER_PLAIN) GTEST_SKIP() << "only the plain path runs here";
    std::vector<uint8_t> bytes = test_read_file(GetParam());
    ASSERT_FALSE(bytes.empty());
    const int64_t blocks = song_blocks(bytes);
    ASSERT_GT(blocks, 0);
    std::vector<int16_t> plain = render(bytes, blocks, MIXER_PLAIN);
    std::vector<int16_t> wide = render(bytes, blocks, widest);
    ASSERT_EQ(plain.size(), size_t(blocks) * BLOCK_FRAMES * 2);
    ASSERT_EQ(wide.size(), plain.size());
    size_t first = 0;
    while (first < plain.size() && plain[first] == wide[first]) first++;
    EXPECT_EQ(first, plain.size()) << mixer_path_name(widest) << " differs from plain at frame "
                                   << first / 2 << " of " << plain.size() / 2;
}

// The ring is cycled more than once (a song of over 100 blocks), so a block
// mixed into a slice that still holds an older block's floats would show.
TEST_P(MixerCorpus, ScratchBlockRendersTheRingsBits) {
    std::vector<uint8_t> bytes = test_read_file(GetParam());
    ASSERT_FALSE(bytes.empty());
    const int64_t blocks = song_blocks(bytes);
    ASSERT_GT(blocks, 0);
    const MixerPath widest = mixer_widest_path();
    std::vector<int16_t> ring = render(bytes, blocks, widest, OFFLINE_RING);
    std::vector<int16_t> scratch = render(bytes, blocks, widest, OFFLINE_SCRATCH);
    ASSERT_EQ(ring.size(), size_t(blocks) * BLOCK_FRAMES * 2);
    ASSERT_EQ(scratch.size(), ring.size());
    size_t first = 0;
    while (first < ring.size() && ring[first] == scratch[first]) first++;
    EXPECT_EQ(first, ring.size()) << "scratch differs from ring at frame " << first / 2 << " of "
                                  << ring.size() / 2;
}

} // namespace

TEST(MixerCorpusFiles, Present) {
    if (test_corpus_files().empty()) GTEST_SKIP() << "no corpus at " VLORP_CORPUS_DIR;
    std::printf("widest mixer path here: %s\n", mixer_path_name(mixer_widest_path()));
}

INSTANTIATE_TEST_SUITE_P(Corpus, MixerCorpus, testing::ValuesIn(test_corpus_files()),
                         test_corpus_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(MixerCorpus);
