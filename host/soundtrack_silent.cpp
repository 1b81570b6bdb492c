// Until the engine can mix offline, the soundtrack is silence at order 0.
#include "host/soundtrack.h"

void soundtrack_mix(Song*, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<BlockPosition>* positions) {
    if (pcm) pcm->assign(size_t(block_count) * SOUNDTRACK_BLOCK_FRAMES * 2, 0);
    positions->assign(size_t(block_count), BlockPosition{0, 0});
}
