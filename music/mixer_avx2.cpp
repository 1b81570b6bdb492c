// The mixer's inner loops for AVX2, four frames per pass. Built with -mavx2
// (no FMA: the sums must round exactly as the plain loops round them) and
// only ever called after the processor has said it has AVX2.
//
// Per pass: the four positions are base + k * stride; the four (s0, s1)
// pairs are fetched (four plain loads, or, when the voice moves forward by
// less than two frames per frame, one 16-byte load and byte shuffles: the
// usual case); V = s0 * 2^31 + (frac >> 1) * (s1 - s0) is formed
// in double, times 2^16, where it is exact; each V is doubled up for its
// left and right slot, and the eight floats of the four frames are widened,
// added to and rounded back exactly as the plain code does one at a time.
// The loop is bound by its vector operations, so each one saved counts.
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

// The samples a pass reads, frames 0, 2, 1, 3 in 32-bit lanes, each in the
// lane's high half with zeros below: s0 * 2^16 and s1 * 2^16, which convert
// to double exactly without a sign extension first.
struct Samples {
    __m128i s0, s1;
};

// Any step: the four pairs with plain loads. A gather is slower on many
// processors.
struct FetchLoads {
    explicit FetchLoads(const Lanes&) {}
    Samples samples(const int16_t* data, const Lanes& l) const {
        const uint64_t p0 = l.first, stride = l.stride;
        const __m128i pair =
            _mm_setr_epi32(load_pair(data, p0), load_pair(data, p0 + 2 * stride),
                           load_pair(data, p0 + stride), load_pair(data, p0 + 3 * stride));
        return {_mm_slli_epi32(pair, 16), _mm_and_si128(pair, _mm_set1_epi32(int32_t(0xFFFF0000)))};
    }
};

// Forward by less than two frames per frame (stride < 2^33): the four
// frames read within the eight samples from frame 0's (offsets up to 6, and
// the sample after), one unaligned load (the sample data carries 16 bytes
// of zeros past its end, and frame 0 lies before the end). Frame k reads
// offset o_k = (f + k * stride) >> 32, f the low word of frame 0's
// position: the high word of k * stride plus the carry out of the low
// words, which shows as a lane fraction (f + low word of k * stride,
// wrapped) below that low word. Two shuffles take bytes 2 o_k, 2 o_k + 1
// (s0) and 2 o_k + 2, 2 o_k + 3 (s1) of the window into the high half of
// lane k and zeros (control bytes with the top bit set) into its low half;
// the compare's all-ones lane adds the carry's 2 to each control byte,
// which leaves the top bits as they are.
struct FetchWindow {
    __m128i low_flipped; // low words of k * stride, sign bit flipped
    __m128i control;     // the s0 shuffle control without the carries
    explicit FetchWindow(const Lanes& l) {
        const uint64_t s1 = l.stride, s2 = 2 * l.stride, s3 = 3 * l.stride;
        low_flipped = _mm_xor_si128(
            _mm_setr_epi32(0, int32_t(uint32_t(s2)), int32_t(uint32_t(s1)), int32_t(uint32_t(s3))),
            _mm_set1_epi32(INT32_MIN));
        auto bytes = [](uint64_t k_stride) { // 2 * high word into every byte
            return int32_t(0x01008080u + uint32_t(k_stride >> 32) * 0x02020202u);
        };
        control = _mm_setr_epi32(bytes(0), bytes(s2), bytes(s1), bytes(s3));
    }
    Samples samples(const int16_t* data, const Lanes& l) const {
        const __m128i window = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(data + int32_t(uint32_t(l.first >> 32))));
        const __m128i flipped = _mm_xor_si128(l.frac, _mm_set1_epi32(INT32_MIN));
        const __m128i carry = _mm_cmpgt_epi32(low_flipped, flipped); // all ones where carried
        const __m128i c0 = _mm_sub_epi8(control, _mm_add_epi8(carry, carry));
        const __m128i c1 = _mm_add_epi8(c0, _mm_set1_epi32(0x02020202));
        return {_mm_shuffle_epi8(window, c0), _mm_shuffle_epi8(window, c1)};
    }
};

// V * 2^16 of the four frames of a pass, in the order 0, 2, 1, 3: every
// term is exact, and so is the sum. (The loops fold the 2^-16 into their
// gains: a power of two changes no bit of a product.)
inline __m256d interpolate4(Samples s, const Lanes& l) {
    __m256d d0 = _mm256_cvtepi32_pd(s.s0);
    __m256d diff = _mm256_sub_pd(_mm256_cvtepi32_pd(s.s1), d0);
    __m256d half_frac = _mm256_cvtepi32_pd(_mm_srli_epi32(l.frac, 1));
    return _mm256_add_pd(_mm256_mul_pd(d0, _mm256_set1_pd(2147483648.0)),
                         _mm256_mul_pd(half_frac, diff));
}

// Gains for V * 2^16.
constexpr double TWO_POW_M16 = 1.0 / 65536;

// Adds V (frames 0, 2, 1, 3) times the per-slot gains to four frames at `out`.
inline void accumulate4(float* out, __m256d v, __m256d gain_lo, __m256d gain_hi) {
    __m256d v_lo = _mm256_unpacklo_pd(v, v);           // V0 V0 V1 V1
    __m256d v_hi = _mm256_unpackhi_pd(v, v);           // V2 V2 V3 V3
    __m256d o_lo = _mm256_cvtps_pd(_mm_loadu_ps(out)); // widened straight from memory
    __m256d o_hi = _mm256_cvtps_pd(_mm_loadu_ps(out + 4));
    o_lo = _mm256_add_pd(o_lo, _mm256_mul_pd(v_lo, gain_lo));
    o_hi = _mm256_add_pd(o_hi, _mm256_mul_pd(v_hi, gain_hi));
    _mm256_storeu_ps(out, _mm256_set_m128(_mm256_cvtpd_ps(o_hi), _mm256_cvtpd_ps(o_lo)));
}

// True when a pass can fetch its pairs through FetchWindow.
inline bool window_fits(uint64_t signed_step) {
    return mix_lane_stride(signed_step) >> 33 == 0;
}

template <class Fetch>
uint64_t steady_passes(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                       uint32_t passes, double gl, double gr) {
    Lanes l = lanes_start(p, signed_step);
    const Fetch fetch(l);
    const __m256d gain = _mm256_mul_pd(_mm256_setr_pd(gl, gr, gl, gr), _mm256_set1_pd(TWO_POW_M16));
    // Two passes per trip: of a pass's 35 instructions, 3 only count the loop.
#pragma GCC unroll 2
    for (uint32_t i = 0; i < passes; i++) {
        accumulate4(out, interpolate4(fetch.samples(data, l), l), gain, gain);
        lanes_next(l);
        out += 8;
    }
    return l.first;
}

uint64_t steady_avx2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t frames, double gl, double gr) {
    if (frames >= 4) {
        const uint32_t passes = frames / 4;
        p = window_fits(signed_step)
                ? steady_passes<FetchWindow>(out, data, p, signed_step, passes, gl, gr)
                : steady_passes<FetchLoads>(out, data, p, signed_step, passes, gl, gr);
        out += 8 * passes;
        frames -= passes * 4;
    }
    for (; frames; frames--, out += 2) p = mix_frame(out, data, p, signed_step, gl, gr);
    return p;
}

template <class Fetch>
uint64_t ramp_passes(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t passes, double gl, double gr, double dl, double dr) {
    Lanes l = lanes_start(p, signed_step);
    const Fetch fetch(l);
    // Frame k's gain g + k * delta, grown four deltas per pass: every
    // partial sum is exact here (the caller made sure), so each addition is.
    const __m256d scale = _mm256_set1_pd(TWO_POW_M16);
    const __m256d start = _mm256_mul_pd(_mm256_setr_pd(gl, gr, gl, gr), scale);
    const __m256d delta = _mm256_mul_pd(_mm256_setr_pd(dl, dr, dl, dr), scale);
    const __m256d four_deltas = _mm256_mul_pd(delta, _mm256_set1_pd(4.0));
    __m256d gain_lo = _mm256_add_pd(start, _mm256_mul_pd(_mm256_setr_pd(0, 0, 1, 1), delta));
    __m256d gain_hi = _mm256_add_pd(start, _mm256_mul_pd(_mm256_setr_pd(2, 2, 3, 3), delta));
    for (uint32_t i = 0; i < passes; i++) {
        accumulate4(out, interpolate4(fetch.samples(data, l), l), gain_lo, gain_hi);
        lanes_next(l);
        gain_lo = _mm256_add_pd(gain_lo, four_deltas);
        gain_hi = _mm256_add_pd(gain_hi, four_deltas);
        out += 8;
    }
    return l.first;
}

uint64_t ramp_avx2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                   uint32_t frames, double gl, double gr, double dl, double dr) {
    uint32_t k = 0;
    if (frames >= 4) {
        const uint32_t passes = frames / 4;
        p = window_fits(signed_step)
                ? ramp_passes<FetchWindow>(out, data, p, signed_step, passes, gl, gr, dl, dr)
                : ramp_passes<FetchLoads>(out, data, p, signed_step, passes, gl, gr, dl, dr);
        out += 8 * passes;
        k = passes * 4;
    }
    for (; k < frames; k++, out += 2)
        p = mix_frame(out, data, p, signed_step, gl + double(k) * dl, gr + double(k) * dr);
    return p;
}

// Clamp (from above only: see MixConvertFn), then round to nearest even (the
// default rounding mode), 16 at a time; the pack saturates. CLEAR: and zero
// what was read (source is written only then).
template <bool CLEAR> int32_t convert_passes(int16_t* destination, float* source, int32_t count) {
    const __m256 hi = _mm256_set1_ps(32767.0f);
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256 a = _mm256_min_ps(hi, _mm256_loadu_ps(source + i));
        __m256 b = _mm256_min_ps(hi, _mm256_loadu_ps(source + i + 8));
        if constexpr (CLEAR) {
            _mm256_storeu_ps(source + i, _mm256_setzero_ps());
            _mm256_storeu_ps(source + i + 8, _mm256_setzero_ps());
        }
        // The pack works within 128-bit halves; put the four quarters back in order.
        __m256i packed = _mm256_packs_epi32(_mm256_cvtps_epi32(a), _mm256_cvtps_epi32(b));
        packed = _mm256_permute4x64_epi64(packed, 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), packed);
    }
    return i;
}

int32_t convert_avx2(int16_t* destination, const float* source, int32_t count) {
    return convert_passes<false>(destination, const_cast<float*>(source), count);
}

int32_t convert_clear_avx2(int16_t* destination, float* source, int32_t count) {
    return convert_passes<true>(destination, source, count);
}

} // namespace

extern const MixerKernels MIXER_KERNELS_AVX2 = {steady_avx2, ramp_avx2, convert_avx2,
                                                convert_clear_avx2};
