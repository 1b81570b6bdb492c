// The soundtrack mixed offline, block by block, with the library's record
// of each block (order, row, time): what stills and capture use instead of
// the device.
#pragma once
#include <vlorp/xm.h>

#include <cstdint>
#include <vector>

// Mixes the first `block_count` blocks of `song` (VLORP_XM_BLOCK_FRAMES
// frames each) from its start. `pcm` (may be null) receives interleaved
// stereo 16-bit frames. Without a song the soundtrack is silent at order 0,
// row 0.
void soundtrack_mix(vlorp_xm_module* song, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<vlorp_xm_block_info>* positions);
