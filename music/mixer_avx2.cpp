// The mixer's inner loops for AVX2, four frames per pass. Built with -mavx2
// (no FMA: the sums must round exactly as the plain loops round them) and
// only ever called after the processor has said it has AVX2.
//
// Per pass: the four positions are base + k * stride; four plain loads
// fetch the four (s0, s1) pairs as 32-bit words; V = s0 * 2^31 +
// (frac >> 1) * (s1 - s0) is formed in double, where it is exact; each V is
// doubled up for its left and right slot, and the eight floats of the four
// frames are widened, added to and rounded back exactly as the plain code
// does one at a time.
#include "music/mixer_kernels.h"

#include <cstring>
#include <immintrin.h>

namespace {

// The four frames of a pass are held in the order 0, 2, 1, 3: then the
// per-side copies of V (V0 V0 V1 V1 and V2 V2 V3 V3) come from in-lane
// unpacks instead of lane-crossing permutes. Their fractions are kept apart
// in 32-bit lanes: the low word of base + k * stride is the low word of
// base plus k times the low word of stride, wrapping alike.
struct Lanes {
    __m128i frac;    // position fractions of frames 0, 2, 1, 3
    __m128i advance; // low word of 4 * stride in each lane
    uint64_t first;  // position of frame 0
    uint64_t stride;
};

Lanes lanes_start(uint64_t p, uint64_t signed_step) {
    const uint64_t base = mix_lane_base(p, signed_step);
    const uint64_t stride = mix_lane_stride(signed_step);
    Lanes l;
    l.frac = _mm_setr_epi32(int32_t(uint32_t(base)), int32_t(uint32_t(base + 2 * stride)),
                            int32_t(uint32_t(base + stride)), int32_t(uint32_t(base + 3 * stride)));
    l.advance = _mm_set1_epi32(int32_t(uint32_t(4 * stride)));
    l.first = base;
    l.stride = stride;
    return l;
}

void lanes_next(Lanes& l) {
    l.frac = _mm_add_epi32(l.frac, l.advance);
    l.first += 4 * l.stride;
}

// The (s0, s1) pair at position p as one 32-bit word, s0 in the low half.
inline int32_t load_pair(const int16_t* data, uint64_t p) {
    int32_t pair;
    memcpy(&pair, data + int32_t(uint32_t(p >> 32)), 4);
    return pair;
}

// V of the four frames of a pass, in the order 0, 2, 1, 3. The pairs are
// fetched with plain loads: a gather is slower on many processors.
inline __m256d interpolate4(const int16_t* data, const Lanes& l) {
    const uint64_t p0 = l.first, stride = l.stride;
    __m128i pair = _mm_setr_epi32(load_pair(data, p0), load_pair(data, p0 + 2 * stride),
                                  load_pair(data, p0 + stride), load_pair(data, p0 + 3 * stride));
    __m128i s0 = _mm_srai_epi32(_mm_slli_epi32(pair, 16), 16);
    __m128i s1 = _mm_srai_epi32(pair, 16);
    __m256d d0 = _mm256_cvtepi32_pd(s0);
    __m256d diff = _mm256_cvtepi32_pd(_mm_sub_epi32(s1, s0));
    __m256d half_frac = _mm256_cvtepi32_pd(_mm_srli_epi32(l.frac, 1));
    return _mm256_add_pd(_mm256_mul_pd(d0, _mm256_set1_pd(2147483648.0)),
                         _mm256_mul_pd(half_frac, diff));
}

// Adds V (frames 0, 2, 1, 3) times the per-slot gains to four frames at `out`.
inline void accumulate4(float* out, __m256d v, __m256d gain_lo, __m256d gain_hi) {
    __m256d v_lo = _mm256_unpacklo_pd(v, v); // V0 V0 V1 V1
    __m256d v_hi = _mm256_unpackhi_pd(v, v); // V2 V2 V3 V3
    __m256 o = _mm256_loadu_ps(out);
    __m256d o_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(o));
    __m256d o_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(o, 1));
    o_lo = _mm256_add_pd(o_lo, _mm256_mul_pd(v_lo, gain_lo));
    o_hi = _mm256_add_pd(o_hi, _mm256_mul_pd(v_hi, gain_hi));
    _mm256_storeu_ps(out, _mm256_set_m128(_mm256_cvtpd_ps(o_hi), _mm256_cvtpd_ps(o_lo)));
}

uint64_t steady_avx2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t frames, double gl, double gr) {
    if (frames >= 4) {
        Lanes l = lanes_start(p, signed_step);
        const __m256d gain = _mm256_setr_pd(gl, gr, gl, gr);
        uint32_t passes = frames / 4;
        for (uint32_t i = 0; i < passes; i++) {
            accumulate4(out, interpolate4(data, l), gain, gain);
            lanes_next(l);
            out += 8;
        }
        p = l.first;
        frames -= passes * 4;
    }
    for (; frames; frames--, out += 2) p = mix_frame(out, data, p, signed_step, gl, gr);
    return p;
}

uint64_t ramp_avx2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                   uint32_t frames, double gl, double gr, double dl, double dr) {
    uint32_t k = 0;
    if (frames >= 4) {
        Lanes l = lanes_start(p, signed_step);
        const __m256d start = _mm256_setr_pd(gl, gr, gl, gr);
        const __m256d delta = _mm256_setr_pd(dl, dr, dl, dr);
        const __m256d four = _mm256_set1_pd(4.0);
        __m256d k_lo = _mm256_setr_pd(0, 0, 1, 1);
        __m256d k_hi = _mm256_setr_pd(2, 2, 3, 3);
        uint32_t passes = frames / 4;
        for (uint32_t i = 0; i < passes; i++) {
            // g + k * delta: both the product and the sum are exact here.
            __m256d gain_lo = _mm256_add_pd(start, _mm256_mul_pd(k_lo, delta));
            __m256d gain_hi = _mm256_add_pd(start, _mm256_mul_pd(k_hi, delta));
            accumulate4(out, interpolate4(data, l), gain_lo, gain_hi);
            lanes_next(l);
            k_lo = _mm256_add_pd(k_lo, four);
            k_hi = _mm256_add_pd(k_hi, four);
            out += 8;
        }
        p = l.first;
        k = passes * 4;
    }
    for (; k < frames; k++, out += 2)
        p = mix_frame(out, data, p, signed_step, gl + double(k) * dl, gr + double(k) * dr);
    return p;
}

// Clamp, then round to nearest even (the default rounding mode), 16 at a time.
int32_t convert_avx2(int16_t* destination, const float* source, int32_t count) {
    const __m256 lo = _mm256_set1_ps(-32768.0f), hi = _mm256_set1_ps(32767.0f);
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256 a = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(source + i), lo), hi);
        __m256 b = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(source + i + 8), lo), hi);
        // The pack works within 128-bit halves; put the four quarters back in order.
        __m256i packed = _mm256_packs_epi32(_mm256_cvtps_epi32(a), _mm256_cvtps_epi32(b));
        packed = _mm256_permute4x64_epi64(packed, 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), packed);
    }
    return i;
}

} // namespace

extern const MixerKernels MIXER_KERNELS_AVX2 = {steady_avx2, ramp_avx2, convert_avx2};
