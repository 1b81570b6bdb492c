#include "host/soundtrack.h"

#include <algorithm>

void soundtrack_mix(Song* song, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<TimeInfo>* positions) {
    if (pcm) pcm->assign(size_t(block_count) * BLOCK_FRAMES * 2, 0);
    positions->assign(size_t(block_count), TimeInfo{0, 0, 0});
    if (!song || !output_offline_start(song)) return;
    for (int32_t k = 0; k < block_count; k++) {
        TimeInfo info = {};
        const int16_t* block = output_offline_mix_block(&info);
        if (!block) break;
        (*positions)[size_t(k)] = info;
        if (pcm) std::copy_n(block, BLOCK_FRAMES * 2, pcm->begin() + int64_t(k) * BLOCK_FRAMES * 2);
    }
    player_stop(song);
}
