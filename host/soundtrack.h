// The soundtrack mixed offline, block by block, with the song position
// each block reports: what stills and capture use instead of the device.
#pragma once
#include "music/music.h"
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int32_t SOUNDTRACK_RATE = 44100;       // frames per second
constexpr int32_t SOUNDTRACK_BLOCK_FRAMES = 884; // frames per output block

struct BlockPosition {
    int32_t order;
    int32_t row;
};

// Mixes the first `block_count` blocks of `song` from its start. `pcm`
// (may be null) receives interleaved stereo 16-bit frames. Without a song
// the soundtrack is silent at order 0, row 0.
void soundtrack_mix(Song* song, int32_t block_count, std::vector<int16_t>* pcm,
                    std::vector<BlockPosition>* positions);

// The block being heard at show time t >= 0.
constexpr int64_t soundtrack_block_at(double t) {
    return int64_t(t * SOUNDTRACK_RATE / SOUNDTRACK_BLOCK_FRAMES);
}
// Show time at which block k starts to be heard.
constexpr double soundtrack_block_start(int64_t k) {
    return double(k * SOUNDTRACK_BLOCK_FRAMES) / SOUNDTRACK_RATE;
}
