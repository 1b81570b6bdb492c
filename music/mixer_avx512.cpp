// The mixer's inner loops for AVX-512 (F, VL, DQ, BW), eight frames per pass.
// Built with those flags (no FMA: the sums must round exactly as the plain
// loops round them) and only ever called after the processor has said it
// has them. The same scheme as the AVX2 loops, twice as wide; in the last
// pass of a segment, lanes past its end read nothing and write nothing.
#include "music/mixer_kernels.h"

#include <cstring>
#include <immintrin.h>

namespace {

struct Lanes {
    __m512i p;       // positions of the eight frames of this pass
    __m512i advance; // 8 * stride
    uint64_t first;  // the first of them
    uint64_t stride;
};

Lanes lanes_start(uint64_t p, uint64_t signed_step) {
    const uint64_t base = mix_lane_base(p, signed_step);
    const uint64_t stride = mix_lane_stride(signed_step);
    Lanes l;
    // base + k * stride for k = 0..7, from stride, 2 stride and 4 stride.
    const __m512i s1 = _mm512_set1_epi64(int64_t(stride));
    const __m512i s2 = _mm512_add_epi64(s1, s1);
    const __m512i s4 = _mm512_add_epi64(s2, s2);
    __m512i p0 = _mm512_set1_epi64(int64_t(base));
    p0 = _mm512_mask_add_epi64(p0, 0xAA, p0, s1);
    p0 = _mm512_mask_add_epi64(p0, 0xCC, p0, s2);
    l.p = _mm512_mask_add_epi64(p0, 0xF0, p0, s4);
    l.advance = _mm512_set1_epi64(int64_t(8 * stride));
    l.first = base;
    l.stride = stride;
    return l;
}

void lanes_next(Lanes& l) {
    l.p = _mm512_add_epi64(l.p, l.advance);
    l.first += 8 * l.stride;
}

// The (s0, s1) pair at position p as one 32-bit word, s0 in the low half.
inline int32_t load_pair(const int16_t* data, uint64_t p) {
    int32_t pair;
    memcpy(&pair, data + int32_t(uint32_t(p >> 32)), 4);
    return pair;
}

// V of eight frames from their (s0, s1) pairs and positions `p`, in 64-bit
// integers (exact: below 2^48) and then converted, one rounding-free step.
inline __m512d interpolate8(__m256i pair, __m512i p) {
    __m256i s0 = _mm256_srai_epi32(_mm256_slli_epi32(pair, 16), 16);
    __m256i diff = _mm256_sub_epi32(_mm256_srai_epi32(pair, 16), s0);
    __m512i half_frac = _mm512_srli_epi32(p, 1); // low half of each lane: frac >> 1
    __m512i v = _mm512_add_epi64(_mm512_slli_epi64(_mm512_cvtepi32_epi64(s0), 31),
                                 _mm512_mul_epi32(half_frac, _mm512_cvtepi32_epi64(diff)));
    return _mm512_cvtepi64_pd(v);
}

// The pairs of all eight frames from the first's position `p0`: eight
// plain loads (a gather is slower on many processors).
inline __m256i pairs8(const int16_t* data, uint64_t p0, uint64_t stride) {
    return _mm256_setr_epi32(load_pair(data, p0), load_pair(data, p0 + stride),
                             load_pair(data, p0 + 2 * stride), load_pair(data, p0 + 3 * stride),
                             load_pair(data, p0 + 4 * stride), load_pair(data, p0 + 5 * stride),
                             load_pair(data, p0 + 6 * stride), load_pair(data, p0 + 7 * stride));
}

// The pairs of the first `n` (below 8) frames; the other lanes are zero.
inline __m256i pairs_tail(const int16_t* data, uint64_t p0, uint64_t stride, uint32_t n) {
    alignas(32) int32_t pair[8] = {};
    for (uint32_t k = 0; k < n; k++) pair[k] = load_pair(data, p0 + k * stride);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(pair));
}

// Steps of up to four frames: the eight frames of a pass read at most 30
// frames apart, so one load of 32 frames and one word permutation fetch
// all their pairs. Only the frames the pass reads are loaded (the rest of
// the window is masked off, so it never reaches past the sample).
constexpr uint64_t WINDOW_STRIDE_MAX = uint64_t(4) << 32;

// `last`: the last lane (0..7) that is a frame of the segment; lanes past
// it read nothing outside the frames the segment reads.
inline __m512d interpolate_window(const int16_t* data, __m512i p, uint64_t first, uint64_t stride,
                                  uint32_t last = 7) {
    const int32_t i_first = int32_t(uint32_t(first >> 32));
    const int32_t i_last = int32_t(uint32_t((first + last * stride) >> 32));
    const int32_t low = i_first < i_last ? i_first : i_last;
    const uint32_t span = uint32_t(i_first < i_last ? i_last - i_first : i_first - i_last);
    // s0 of every frame lies in frames low..low+span, s1 one frame further.
    const __mmask32 need = __mmask32((uint64_t(2) << span) - 1);
    const __m512i window0 = _mm512_maskz_loadu_epi16(need, data + low);
    const __m512i window1 = _mm512_maskz_loadu_epi16(need, data + low + 1);
    // Each 64-bit lane: frame index - low in its top 16 bits, which is the
    // word the permutation fills (the others are zeroed): s << 48, signed.
    const __m512i rel = _mm512_slli_epi64(
        _mm512_sub_epi64(p, _mm512_set1_epi64(int64_t(uint64_t(uint32_t(low)) << 32))), 16);
    const __mmask32 top = 0x88888888;
    const __m512i s0 = _mm512_srai_epi64(_mm512_maskz_permutexvar_epi16(top, rel, window0), 48);
    const __m512i s1 = _mm512_srai_epi64(_mm512_maskz_permutexvar_epi16(top, rel, window1), 48);
    // V = s0 * 2^31 + (frac >> 1) * (s1 - s0) in 64-bit integers, exact.
    const __m512i half_frac = _mm512_srli_epi32(p, 1); // low half of each lane
    __m512i v = _mm512_add_epi64(_mm512_slli_epi64(s0, 31),
                                 _mm512_mul_epi32(half_frac, _mm512_sub_epi64(s1, s0)));
    return _mm512_cvtepi64_pd(v);
}

// Adds V times the per-slot gains to the frames of `mask` (two floats each).
inline void accumulate8(float* out, __m512d v, __m512d gain_lo, __m512d gain_hi, __mmask16 mask) {
    const __m512i dup_lo = _mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3);
    const __m512i dup_hi = _mm512_setr_epi64(4, 4, 5, 5, 6, 6, 7, 7);
    __m512d v_lo = _mm512_permutexvar_pd(dup_lo, v);
    __m512d v_hi = _mm512_permutexvar_pd(dup_hi, v);
    // Two halves of eight floats each: loads and stores, no lane shuffles.
    const __mmask8 mask_lo = __mmask8(mask), mask_hi = __mmask8(mask >> 8);
    __m512d o_lo = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(mask_lo, out));
    __m512d o_hi = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(mask_hi, out + 8));
    o_lo = _mm512_add_pd(o_lo, _mm512_mul_pd(v_lo, gain_lo));
    o_hi = _mm512_add_pd(o_hi, _mm512_mul_pd(v_hi, gain_hi));
    _mm256_mask_storeu_ps(out, mask_lo, _mm512_cvtpd_ps(o_lo));
    _mm256_mask_storeu_ps(out + 8, mask_hi, _mm512_cvtpd_ps(o_hi));
}

// Mask for the floats of the last `n` (1..7) frames of a segment.
__mmask16 slot_mask(uint32_t n) {
    return __mmask16((1u << (2 * n)) - 1);
}

// P after `frames` (>= 1) frames from the lane start.
uint64_t end_position(uint64_t p, uint64_t signed_step, uint32_t frames) {
    return mix_lane_base(p, signed_step) + uint64_t(frames) * mix_lane_stride(signed_step);
}

template <bool WINDOW>
uint64_t steady_pass(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t frames, double gl, double gr) {
    if (frames == 0) return p;
    Lanes l = lanes_start(p, signed_step);
    const __m512d gain = _mm512_setr_pd(gl, gr, gl, gr, gl, gr, gl, gr);
    uint32_t left = frames;
    for (; left >= 8; left -= 8) {
        accumulate8(out,
                    WINDOW ? interpolate_window(data, l.p, l.first, l.stride)
                           : interpolate8(pairs8(data, l.first, l.stride), l.p),
                    gain, gain, 0xFFFF);
        lanes_next(l);
        out += 16;
    }
    if (left)
        accumulate8(out,
                    WINDOW ? interpolate_window(data, l.p, l.first, l.stride, left - 1)
                           : interpolate8(pairs_tail(data, l.first, l.stride, left), l.p),
                    gain, gain, slot_mask(left));
    return end_position(p, signed_step, frames);
}

template <bool WINDOW>
uint64_t ramp_pass(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                   uint32_t frames, double gl, double gr, double dl, double dr) {
    if (frames == 0) return p;
    Lanes l = lanes_start(p, signed_step);
    const __m512d start = _mm512_setr_pd(gl, gr, gl, gr, gl, gr, gl, gr);
    const __m512d delta = _mm512_setr_pd(dl, dr, dl, dr, dl, dr, dl, dr);
    const __m512d eight = _mm512_set1_pd(8.0);
    __m512d k_lo = _mm512_setr_pd(0, 0, 1, 1, 2, 2, 3, 3);
    __m512d k_hi = _mm512_setr_pd(4, 4, 5, 5, 6, 6, 7, 7);
    uint32_t left = frames;
    for (;;) {
        // g + k * delta: both the product and the sum are exact here.
        __m512d gain_lo = _mm512_add_pd(start, _mm512_mul_pd(k_lo, delta));
        __m512d gain_hi = _mm512_add_pd(start, _mm512_mul_pd(k_hi, delta));
        if (left < 8) {
            if (left)
                accumulate8(out,
                            WINDOW ? interpolate_window(data, l.p, l.first, l.stride, left - 1)
                                   : interpolate8(pairs_tail(data, l.first, l.stride, left), l.p),
                            gain_lo, gain_hi, slot_mask(left));
            break;
        }
        accumulate8(out,
                    WINDOW ? interpolate_window(data, l.p, l.first, l.stride)
                           : interpolate8(pairs8(data, l.first, l.stride), l.p),
                    gain_lo, gain_hi, 0xFFFF);
        lanes_next(l);
        k_lo = _mm512_add_pd(k_lo, eight);
        k_hi = _mm512_add_pd(k_hi, eight);
        out += 16;
        left -= 8;
    }
    return end_position(p, signed_step, frames);
}

bool window_fits(uint64_t signed_step) {
    uint64_t stride = mix_lane_stride(signed_step);
    return stride <= WINDOW_STRIDE_MAX || 0 - stride <= WINDOW_STRIDE_MAX;
}

uint64_t steady_avx512(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                       uint32_t frames, double gl, double gr) {
    return window_fits(signed_step) ? steady_pass<true>(out, data, p, signed_step, frames, gl, gr)
                                    : steady_pass<false>(out, data, p, signed_step, frames, gl, gr);
}

uint64_t ramp_avx512(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t frames, double gl, double gr, double dl, double dr) {
    return window_fits(signed_step)
               ? ramp_pass<true>(out, data, p, signed_step, frames, gl, gr, dl, dr)
               : ramp_pass<false>(out, data, p, signed_step, frames, gl, gr, dl, dr);
}

// Clamp (from above only: see MixConvertFn), then round to nearest even (the
// default rounding mode), 16 at a time; the narrowing saturates. CLEAR: and
// zero what was read (source is written only then).
template <bool CLEAR> int32_t convert_passes(int16_t* destination, float* source, int32_t count) {
    const __m512 hi = _mm512_set1_ps(32767.0f);
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m512 x = _mm512_min_ps(hi, _mm512_loadu_ps(source + i));
        if constexpr (CLEAR) _mm512_storeu_ps(source + i, _mm512_setzero_ps());
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i),
                            _mm512_cvtsepi32_epi16(_mm512_cvtps_epi32(x)));
    }
    return i;
}

int32_t convert_avx512(int16_t* destination, const float* source, int32_t count) {
    return convert_passes<false>(destination, const_cast<float*>(source), count);
}

int32_t convert_clear_avx512(int16_t* destination, float* source, int32_t count) {
    return convert_passes<true>(destination, source, count);
}

} // namespace

extern const MixerKernels MIXER_KERNELS_AVX512 = {steady_avx512, ramp_avx512, convert_avx512,
                                                  convert_clear_avx512};
