// Loads a module from bytes and plays it offline for a bounded number of
// blocks. Shared by the fuzz targets and the regression test that replays
// every input the fuzzer ever found.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int FUZZ_PLAY_BLOCKS = 40; // about 0.8 s of audio: a dozen rows at usual speeds

// The player target's budget per input: a few blocks with every tick cut to
// at most FUZZ_FAST_TICK_FRAMES frames, so about 22 ticks pass per block and
// a few dozen rows (with their per-tick effects) per input at any speed.
constexpr int FUZZ_FAST_BLOCKS = 4;
constexpr int32_t FUZZ_FAST_TICK_FRAMES = 40;

// Inputs of odd length have their samples supplied by a SampleLoader.
// Returns true when the bytes loaded as a song. `fast_ticks` shortens every
// tick (tempo changes included) to FUZZ_FAST_TICK_FRAMES frames at most.
// With `pcm`, every block mixed is appended to it.
bool fuzz_load_and_play(const uint8_t* data, size_t size, int blocks, bool fast_ticks = false,
                        std::vector<int16_t>* pcm = nullptr);

// Plays the bytes (short ticks) once with the plain mixer and once with one
// of the wide paths this processor runs (chosen by the input's length);
// false when their output differs in any bit.
bool fuzz_mixer_paths_agree(const uint8_t* data, size_t size, int blocks);

// Loads and frees only; true when the bytes loaded as a song.
bool fuzz_load(const uint8_t* data, size_t size);
