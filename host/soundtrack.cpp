#include "host/soundtrack.h"

#include <algorithm>

void soundtrack_mix(vlorp_xm_module* song, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<vlorp_xm_block_info>* positions) {
    constexpr int32_t block_samples = VLORP_XM_BLOCK_FRAMES * VLORP_XM_CHANNELS;
    if (pcm) pcm->assign(size_t(block_count) * block_samples, 0);
    positions->assign(size_t(block_count), vlorp_xm_block_info{});
    if (!song || vlorp_xm_render_start(song, 0) != VLORP_XM_OK) return;
    // Without a sound wanted, a scratch of a few blocks is rendered over
    // and over: only the records are kept.
    constexpr int32_t SCRATCH_BLOCKS = 16;
    std::vector<int16_t> scratch(pcm ? 0 : size_t(SCRATCH_BLOCKS) * block_samples);
    for (int32_t k = 0; k < block_count;) {
        const int32_t count = pcm ? block_count - k : std::min(SCRATCH_BLOCKS, block_count - k);
        int16_t* out = pcm ? pcm->data() + size_t(k) * block_samples : scratch.data();
        const int32_t done = vlorp_xm_render(song, out, count, positions->data() + k);
        if (done <= 0) break;
        k += done;
    }
    vlorp_xm_render_stop(song);
}
