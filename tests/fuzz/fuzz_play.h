// Loads a module from bytes and plays it offline for a bounded number of
// blocks. Shared by the fuzz target and the regression test that replays
// every input the fuzzer ever found.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int FUZZ_PLAY_BLOCKS = 40; // about 0.8 s of audio: a dozen rows at usual speeds

// Returns true when the bytes loaded as a song.
bool fuzz_load_and_play(const uint8_t* data, size_t size, int blocks);
