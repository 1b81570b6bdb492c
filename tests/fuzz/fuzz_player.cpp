// Fuzz entry: arbitrary bytes through the stream callbacks into the loader,
// and, when they load, a few seconds of offline playback through the real
// block filler before the song is freed.
#include "tests/fuzz/fuzz_play.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_load_and_play(data, size, FUZZ_PLAY_BLOCKS);
    return 0;
}
