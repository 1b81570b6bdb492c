// Fuzz target for the player: arbitrary bytes through the stream callbacks
// into the loader and, when they load, a few blocks of offline playback
// through the real block filler with every tick cut short, so that many rows
// and ticks pass per input; played twice, with the plain mixer and a wide
// one, whose output must agree to the bit.
#include "tests/fuzz/fuzz_play.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every wide mixer path must give the plain path's output to the bit.
    if (!fuzz_mixer_paths_agree(data, size, FUZZ_FAST_BLOCKS)) {
        fprintf(stderr, "fuzz_player: a wide mixer path differs from the plain one\n");
        abort();
    }
    return 0;
}
