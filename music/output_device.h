// The audio device behind the output driver: plays one looping buffer of
// interleaved 16-bit stereo frames at MIX_RATE and reports how far it got.
// One implementation per platform (output_sdl.cpp); tests supply their own.
#pragma once
#include <atomic>
#include <cstdint>

struct OutputDevice {
    // Opens the default device for MIX_RATE, 16-bit, stereo. False if none.
    bool (*open)();
    // Starts playing `ring` (ring_frames frames) from frame 0, looping forever.
    void (*start)(const int16_t* ring, int32_t ring_frames);
    // Frames played since start, as heard; never wraps.
    int64_t (*played_frames)();
    // Stops playing and lets go of the ring.
    void (*reset)();
    void (*close)();
    // Optional: called on the mixing thread once, to raise its priority.
    void (*promote_thread)();
    // Optional: why the last open failed.
    const char* (*error)();
};

// A device's 32-bit position count (waveOut's wraps after about 27 hours)
// made into a 64-bit one: each reading adds the step since the last,
// modulo 2^32, so a wrap is just another step. Read at least once per
// 2^31 counts.
struct CountUnwrap {
    uint32_t last;
    uint64_t total;
};
inline uint64_t output_unwrap_count(CountUnwrap* unwrap, uint32_t count) {
    unwrap->total += uint32_t(count - unwrap->last);
    unwrap->last = count;
    return unwrap->total;
}

// The platform's device (SDL2 audio where SDL2 is available).
const OutputDevice* output_platform_device();

// The driver adds one after each block it writes into the ring (release); a
// device thread that copies from the ring loads it first (acquire) so that
// it sees every block written before.
extern std::atomic<uint32_t> output_ring_published;
