#include "host/soundtrack.h"
#include "music/output.h"

#include <algorithm>

static_assert(SOUNDTRACK_BLOCK_FRAMES == BLOCK_FRAMES && SOUNDTRACK_RATE == MIX_RATE);

void soundtrack_mix(Song* song, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<BlockPosition>* positions) {
    if (pcm) pcm->assign(size_t(block_count) * BLOCK_FRAMES * 2, 0);
    positions->assign(size_t(block_count), BlockPosition{0, 0});
    if (!song || !output_offline_start(song)) return;
    for (int32_t k = 0; k < block_count; k++) {
        TimeInfo info = {};
        const int16_t* block = output_offline_mix_block(&info);
        if (!block) break;
        (*positions)[size_t(k)] = BlockPosition{info.order, info.row};
        if (pcm) std::copy_n(block, BLOCK_FRAMES * 2, pcm->begin() + int64_t(k) * BLOCK_FRAMES * 2);
    }
    player_stop(song);
}
