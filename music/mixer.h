// Software mixer: renders the mixed Voices into runs of stereo float frames
// and turns finished blocks into clipped 16-bit PCM.
#pragma once
#include "music/engine.h"

// Ramp length in frames and its inverse; mixer_reset sets them up when
// playback starts (128 frames and 1/128 at 44 100 Hz, also the defaults).
extern int32_t ramp_frames;
extern float inv_ramp_frames;

// Play's start: the ramp set up for MIX_RATE, every voice silent, numbered,
// stepping one frame.
void mixer_reset();

// The single-precision 1/255 that turns gains in 255ths into factors.
constexpr float GAIN_SCALE = 0.003921569f;
// Step used only to estimate the end of a voice whose step is zero (256 Hz).
constexpr uint32_t END_FALLBACK_STEP = uint32_t((uint64_t(256) << 32) / MIX_RATE);

// Adds voices 0..MIXED_VOICES-1 into `frames` interleaved left/right float
// frames at `buffer` and advances their positions, ramps and loops by that
// many frames. Does not clear the buffer. Not reentrant.
void mixer_mix_run(float* buffer, int32_t frames);

// Rounds (ties to even) and clamps 2 x `frames` floats into 16-bit samples.
void mixer_convert_to_pcm16(int16_t* destination, const float* source, int32_t frames);
// The same, and leaves the 2 x `frames` floats at +0.0: a mix buffer cleared
// on the way, ready for the next block, without a second pass over it.
void mixer_convert_and_clear(int16_t* destination, float* source, int32_t frames);

// The mixer's inner loops come in one set per instruction set; every set
// gives exactly the bits of the plain one. PLAIN works one frame at a time
// in portable C++; the others exist on x86-64 only.
enum MixerPath : int32_t { MIXER_PLAIN, MIXER_SSE2, MIXER_AVX2, MIXER_AVX512, MIXER_PATH_COUNT };

// The path in use. Unless one was set, the first call (or the first run)
// takes the one named by the environment variable VLORP_MIXER ("plain",
// "sse2", "avx2", "avx512") when this machine runs it, else the widest.
MixerPath mixer_path();
// Uses `path` from the next run on; false (and no change) if this build or
// processor cannot run it. Not while another thread mixes.
bool mixer_set_path(MixerPath path);
bool mixer_path_supported(MixerPath path);
MixerPath mixer_widest_path();
// "plain", "sse2", "avx2", "avx512"; MIXER_PATH_COUNT for any other name.
const char* mixer_path_name(MixerPath path);
MixerPath mixer_path_by_name(const char* name);
