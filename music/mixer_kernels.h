// The mixer's inner loops, one set per instruction-set path, behind two
// function pointers. mixer.cpp cuts each voice into segments (no end, no
// ramp end inside) and hands every segment to the loops of the chosen path.
//
// The wide paths live in files built for wider instruction sets than the
// rest of the program. Those files must share no out-of-line code with it:
// a shared inline function could be emitted with AVX instructions and then
// picked by the linker for every caller. So everything defined here is
// static (internal to each file that includes it).
//
// Units as in mixer.cpp: P and the signed step are 32.32 values; V is the
// interpolated value times 2^31 (exact in a double); every gain and delta
// handed to a loop carries the 2^-31 that turns V back into sample steps.
#pragma once
#include <cstdint>

// Steady gains: adds `frames` frames at gains gl, gr. Returns the new P.
using MixSteadyFn = uint64_t (*)(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                                 uint32_t frames, double gl, double gr);
// Ramped gains: frame k gets gain g + k * delta on each side, where the
// caller has made sure that sum is exact, so it equals the gain grown one
// delta per frame. Returns the new P.
using MixRampFn = uint64_t (*)(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                               uint32_t frames, double gl, double gr, double dl, double dr);

// Clamps and rounds (ties to even) floats into 16-bit samples, as many
// whole groups of the path's width as `count` holds; returns how many it
// converted (the caller does the rest).
//
// The vector loops clamp only from above, to 32767, and let the
// conversion's saturation do the rest: the bounds are whole numbers, so
// rounding first and saturating after gives what clamping first gives, and
// every value below -2^31 (and a NaN, kept by taking the upper bound as
// the first operand of the min) converts to INT32_MIN, which saturates to
// -32768 as a clamp to the lower bound would.
using MixConvertFn = int32_t (*)(int16_t* destination, const float* source, int32_t count);
// The same, and sets the floats it converted to +0.0.
using MixConvertClearFn = int32_t (*)(int16_t* destination, float* source, int32_t count);

struct MixerKernels {
    MixSteadyFn steady;
    MixRampFn ramp;
    MixConvertFn convert;
    MixConvertClearFn convert_clear;
};

// Defined where the instruction set is built in (x86-64 only).
extern const MixerKernels MIXER_KERNELS_AVX2;   // mixer_avx2.cpp
extern const MixerKernels MIXER_KERNELS_AVX512; // mixer_avx512.cpp

// ---- one frame, the plain way (for the tails of the wide loops) -----------

// V = s0 * 2^31 + floor(frac / 2) * (s1 - s0), exact in 48 bits.
static inline double mix_interpolate(const int16_t* data, uint64_t p) {
    int32_t i = int32_t(uint32_t(p >> 32));
    int64_t s0 = data[i];
    int64_t s1 = data[i + 1];
    int64_t half_frac = int64_t(uint32_t(p) >> 1);
    return double(s0 * 2147483648 + half_frac * (s1 - s0));
}

// One frame on: clear the lowest fraction bit, add the signed step.
static inline uint64_t mix_advance(uint64_t p, uint64_t signed_step) {
    return (p & ~uint64_t(1)) + signed_step;
}

// Adds one frame at gains gl, gr; returns the next P.
static inline uint64_t mix_frame(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                                 double gl, double gr) {
    double v = mix_interpolate(data, p);
    out[0] = float(double(out[0]) + v * gl);
    out[1] = float(double(out[1]) + v * gr);
    return mix_advance(p, signed_step);
}

// Every frame after the first moves P by the step with its lowest bit
// cleared, and the first frame reads P the same with or without its lowest
// bit. So frame k (k >= 0) reads at base + k * stride, and after n >= 1
// frames P is base + n * stride.
static inline uint64_t mix_lane_base(uint64_t p, uint64_t signed_step) {
    return (p & ~uint64_t(1)) | (signed_step & 1);
}
static inline uint64_t mix_lane_stride(uint64_t signed_step) {
    return signed_step & ~uint64_t(1);
}
