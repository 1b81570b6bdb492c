// Fuzz target for the loader alone: arbitrary bytes through the memory
// source into song_load, then song_free. No playback, so thousands of
// inputs a second reach the header, pattern and sample code.
#include "tests/fuzz/fuzz_play.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_load(data, size);
    return 0;
}
