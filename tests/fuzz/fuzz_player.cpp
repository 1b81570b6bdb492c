// Fuzz target for the player: arbitrary bytes through the stream callbacks
// into the loader and, when they load, a few blocks of offline playback
// through the real block filler with every tick cut short, so that many rows
// and ticks pass per input.
#include "tests/fuzz/fuzz_play.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_load_and_play(data, size, FUZZ_FAST_BLOCKS, true);
    return 0;
}
