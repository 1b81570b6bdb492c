// Software mixer: linear-interpolation resampling of 16-bit mono samples at a
// 32.32 step, separate left/right gains ramped over `ramp_frames` frames so
// gain changes never click, and sample ends that stop, wrap or turn round.
//
// Glossary:
//   P, S      play position and step, 32.32 fixed point held in 64 bits
//             (integer frame index in the high word, fraction in the low)
//   unit      2^-32 of a frame, the least step of P
//   E, L, W   loop end, loop start and loop length, in frames
//   D24, S24  distance and step cut to 24 fraction bits for the end estimate
//   run       the frames of one call; a run never crosses a tick
//   segment   the part of a run in which a voice meets no end and no ramp
//             end, so the inner loops test nothing but a frame counter
//   gain      1.0 is unity; targets are 255ths, current gains 255ths << 8
//
// Arithmetic: every expression is evaluated in double precision; results
// are rounded to float only where they are stored as floats (the gains, the
// ramp deltas, every mix-buffer sum). The interpolated value s0 + f(s1 - s0)
// is exact in double, and so is its integer form V = v * 2^31, which the
// inner loops compute with one integer multiply; the 2^-31 is folded into the
// gains, which scales every product by a power of two and changes no bit.
// A voice whose gains are settled at zero would add only zeros; its frames
// are skipped and its position advanced in closed form (the buffer keeps its
// bits, except that a -0.0 already there is not turned into +0.0).
#include "music/mixer.h"
#include "music/mixer_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#if defined(VLORP_MIXER_X86) || defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(VLORP_MIXER_X86)
#include <atomic>
#include <cpuid.h>
#endif

Voice voices[VOICE_COUNT];
int32_t ramp_frames = 128;
float inv_ramp_frames = 1.0f / 128;

namespace {

constexpr double K255 = double(GAIN_SCALE);
constexpr double TWO_POW_M31 = 1.0 / 2147483648.0;
constexpr double TWO_POW_31 = 2147483648.0;
constexpr uint64_t LOW_BIT = 1;

// Rounds to float through memory: the optimiser must not keep a wider value
// (a vectorised pair of gains has been seen to skip this rounding).
float to_f32(double x) {
    volatile float f = float(x);
    return f;
}

// Gains that do not fit (only malformed modules make them) give INT32_MIN.
int32_t round_even(double x) {
    double r = std::nearbyint(x);
    return r >= -2147483648.0 && r < 2147483648.0 ? int32_t(r) : INT32_MIN;
}

// V for the frame at position p, and one frame on: the step is negated when
// moving backward, so the loops carry no direction test.
inline double interpolate(const int16_t* data, uint64_t p) {
    return mix_interpolate(data, p);
}
inline uint64_t advance(uint64_t p, uint64_t signed_step) {
    return mix_advance(p, signed_step);
}

// ---- plain: one frame after the other, in portable C++ ---------------------

// Steady gains, two frames per pass with their loads and stores interleaved.
uint64_t steady_plain(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                      uint32_t frames, double gl, double gr) {
    for (uint32_t pairs = frames / 2; pairs; pairs--) {
        uint64_t p1 = advance(p, signed_step);
        double v0 = interpolate(data, p);
        double v1 = interpolate(data, p1);
        p = advance(p1, signed_step);
        float l0 = float(double(out[0]) + v0 * gl);
        float r0 = float(double(out[1]) + v0 * gr);
        float l1 = float(double(out[2]) + v1 * gl);
        float r1 = float(double(out[3]) + v1 * gr);
        out[0] = l0;
        out[1] = r0;
        out[2] = l1;
        out[3] = r1;
        out += 4;
    }
    if (frames & 1) p = mix_frame(out, data, p, signed_step, gl, gr);
    return p;
}

// Ramped gains, one frame per pass, each gain grown by its delta per frame.
uint64_t ramp_plain(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                    uint32_t frames, double& gl, double& gr, double dl, double dr) {
    double l = gl, r = gr;
    for (; frames; frames--) {
        double v = interpolate(data, p);
        p = advance(p, signed_step);
        out[0] = float(double(out[0]) + v * l);
        out[1] = float(double(out[1]) + v * r);
        out += 2;
        l += dl;
        r += dr;
    }
    gl = l;
    gr = r;
    return p;
}

#if defined(VLORP_MIXER_X86)
// ---- SSE2: both sides of a frame in one register pair ----------------------
// The same double products and sums, and the same rounding to float.

uint64_t steady_sse2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                     uint32_t frames, double gl, double gr) {
    const __m128d g = _mm_set_pd(gr, gl);
    for (uint32_t pairs = frames / 2; pairs; pairs--) {
        uint64_t p1 = advance(p, signed_step);
        __m128d v0 = _mm_set1_pd(interpolate(data, p));
        __m128d v1 = _mm_set1_pd(interpolate(data, p1));
        p = advance(p1, signed_step);
        __m128 o = _mm_loadu_ps(out);
        __m128d o0 = _mm_add_pd(_mm_cvtps_pd(o), _mm_mul_pd(v0, g));
        __m128d o1 = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(o, o)), _mm_mul_pd(v1, g));
        _mm_storeu_ps(out, _mm_movelh_ps(_mm_cvtpd_ps(o0), _mm_cvtpd_ps(o1)));
        out += 4;
    }
    if (frames & 1) p = mix_frame(out, data, p, signed_step, gl, gr);
    return p;
}

uint64_t ramp_sse2(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                   uint32_t frames, double& gl, double& gr, double dl, double dr) {
    __m128d g = _mm_set_pd(gr, gl);
    const __m128d d = _mm_set_pd(dr, dl);
    for (; frames; frames--) {
        __m128d v = _mm_set1_pd(interpolate(data, p));
        p = advance(p, signed_step);
        __m128d o = _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(out))));
        o = _mm_add_pd(o, _mm_mul_pd(v, g));
        _mm_store_sd(reinterpret_cast<double*>(out), _mm_castps_pd(_mm_cvtpd_ps(o)));
        out += 2;
        g = _mm_add_pd(g, d);
    }
    gl = _mm_cvtsd_f64(g);
    gr = _mm_cvtsd_f64(_mm_unpackhi_pd(g, g));
    return p;
}
#endif

// ---- the paths and the choice between them ---------------------------------

// A ramp that grows its gains one delta per frame.
using RampStepFn = uint64_t (*)(float* out, const int16_t* data, uint64_t p, uint64_t signed_step,
                                uint32_t frames, double& gl, double& gr, double dl, double dr);

struct PathEntry {
    const char* name;
    MixSteadyFn steady;
    RampStepFn ramp_step;
    const MixerKernels* wide; // loops that take a ramp in closed form, or null
};

const PathEntry PATHS[MIXER_PATH_COUNT] = {
    {"plain", steady_plain, ramp_plain, nullptr},
#if defined(VLORP_MIXER_X86)
    {"sse2", steady_sse2, ramp_sse2, nullptr},
    {"avx2", nullptr, ramp_sse2, &MIXER_KERNELS_AVX2},
    {"avx512", nullptr, ramp_sse2, &MIXER_KERNELS_AVX512},
#else
    {"sse2", nullptr, nullptr, nullptr},
    {"avx2", nullptr, nullptr, nullptr},
    {"avx512", nullptr, nullptr, nullptr},
#endif
};

struct MixerState {
    bool chosen;
    MixerPath path;
    MixSteadyFn steady;
    RampStepFn ramp_step;
    MixRampFn ramp_exact; // null: every ramp goes one delta per frame
    MixConvertFn convert; // null: the baseline conversion
    MixConvertClearFn convert_clear;
};

MixerState mixer;

void mixer_use(MixerPath path) {
    const PathEntry& e = PATHS[path];
    mixer.path = path;
    mixer.steady = e.wide ? e.wide->steady : e.steady;
    mixer.ramp_step = e.ramp_step;
    mixer.ramp_exact = e.wide ? e.wide->ramp : nullptr;
    mixer.convert = e.wide ? e.wide->convert : nullptr;
    mixer.convert_clear = e.wide ? e.wide->convert_clear : nullptr;
    mixer.chosen = true;
}

// The path named by VLORP_MIXER if this machine runs it, else the widest.
void mixer_choose() {
    const char* wanted = getenv("VLORP_MIXER");
    MixerPath path = mixer_path_by_name(wanted ? wanted : "");
    if (path == MIXER_PATH_COUNT || !mixer_path_supported(path)) path = mixer_widest_path();
    mixer_use(path);
}

// True if g + k * d is exact in double for every k from 0 to `frames`, g
// and d being floats: then it equals g grown by d once per frame (each
// partial sum is representable, so each addition is exact). All such sums
// are multiples of the smaller ulp of g and d; they are exact below 2^53 of
// those units (2^52 here, a margin for the rounding of the bound itself).
// Exponents are read from the bits (no library calls, once per ramped
// segment): g and d come from floats, so as doubles they are never subnormal,
// and `bound < 2^k` is `exponent(bound) < k` for any finite bound >= 0.
int binary_exponent(double x) {
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return int((bits >> 52) & 0x7FF) - 1023;
}

bool ramp_sums_exact(double g, double d, uint32_t frames) {
    if (d == 0) return true;
    int e = binary_exponent(d);
    if (g != 0) e = std::min(e, binary_exponent(g));
    double bound = std::fabs(g) + double(frames) * std::fabs(d);
    return std::isfinite(bound) && binary_exponent(bound) < e - 23 + 52;
}

// Where `frames` frames of advance take P, without rendering: after the
// first frame every advance clears the lowest bit the step's own low bit set.
uint64_t skip_frames(uint64_t p, uint64_t signed_step, uint32_t frames) {
    if (frames == 0) return p;
    p = advance(p, signed_step);
    uint64_t per_frame = signed_step - (signed_step & LOW_BIT);
    return p + uint64_t(frames - 1) * per_frame;
}

int64_t signed_position(uint64_t p) {
    return int64_t(p); // high word is the signed frame index
}

// Ping-pong end handling on u = P - L (units) in a loop of w units: the
// first reflection always happens; further ones while the position lies
// outside the loop are folded in closed form (every two reflections move the
// position by 2w, so only the remainder matters).
void reflect(__int128& u, int32_t& direction, __int128 w) {
    auto fold = [&](__int128 x) { // x >= 0, moving forward before the fold
        __int128 m = x % (2 * w);
        if (m < w) {
            u = m;
            direction = DIR_FORWARD;
        } else {
            u = 2 * w - 1 - m;
            direction = DIR_BACKWARD;
        }
    };
    if (direction == DIR_FORWARD) {
        u = 2 * w - 1 - u; // reflect at the end: 2E - P - 2^-32
        direction = DIR_BACKWARD;
        if (u < 0) fold(-1 - u); // below the start: reflect there too
    } else {
        u = -1 - u; // reflect at the start: 2L - P - 2^-32
        direction = DIR_FORWARD;
        if (u >= w) fold(u);
    }
}

// Where a segment ends: at most `left` frames on, or where the voice
// meets the boundary in its direction of travel (reached).
struct Boundary {
    uint32_t frames;
    bool reached;
    bool forward;
    // To the boundary, 32.32; negative: already past it. Only its sign and
    // whether it is below 2^56 matter, so a farther one is held as 2^56.
    int64_t distance;
};

constexpr int64_t FAR_DISTANCE = int64_t(1) << 56;

// The distance from p to frame `target` (forward: target - P, backward:
// P - target). Real positions and boundaries fit 64 bits with 32 fraction
// bits; only a voice started far beyond its sample needs the wide sum.
inline int64_t boundary_distance(uint64_t p, int64_t target, bool forward) {
    const int64_t sp = signed_position(p);
    if (sp >= 0 && target < (int64_t(1) << 31)) {
        const int64_t t = target << 32;
        const int64_t d = forward ? t - sp : sp - t;
        return d < FAR_DISTANCE ? d : FAR_DISTANCE;
    }
    const __int128 t = __int128(target) << 32;
    const __int128 d = forward ? t - sp : sp - t;
    return d < 0 ? -1 : (d < FAR_DISTANCE ? int64_t(d) : FAR_DISTANCE);
}

// Frames until a boundary `distance` (>= 0) away is met at s24 per frame:
// ceil(D24 / S24), or `left` (not reached) when that lies beyond the run.
inline void boundary_frames(Boundary* b, uint64_t s24, uint32_t left) {
    b->frames = left;
    b->reached = false;
    if (b->distance >= FAR_DISTANCE) return;
    const uint64_t d24 = uint64_t(b->distance) >> 8;
    // ceil(d24 / s24) <= left exactly when d24 <= left * s24: most runs end
    // before the boundary and need no division. A product past 64 bits is
    // past any d24 (below 2^48).
    uint64_t reach;
    if (d24 != 0 && !__builtin_mul_overflow(uint64_t(left), s24, &reach) && d24 > reach) return;
    // ceil(d24 / s24) = (d24 - 1) / s24 + 1, in 32 bits where both fit (a
    // boundary less than 256 frames away: the usual case).
    uint64_t n_end;
    if (d24 == 0)
        n_end = b->distance > 0 ? 1 : 0;
    else if ((d24 | s24) >> 32 == 0)
        n_end = uint32_t(d24 - 1) / uint32_t(s24) + 1;
    else
        n_end = (d24 - 1) / s24 + 1;
    b->frames = uint32_t(n_end);
    b->reached = true;
}

inline Boundary find_boundary(const Voice* voice, const Sample* sample, uint64_t p, uint64_t s24,
                              uint32_t left) {
    Boundary b;
    b.forward = voice->direction == DIR_FORWARD;
    int64_t target = sample->loop_start;
    if (b.forward) {
        const int64_t loop_end = int64_t(sample->loop_start) + sample->loop_length;
        const int64_t position = int32_t(uint32_t(p >> 32));
        target = position > loop_end ? int64_t(sample->length) : loop_end;
    }
    b.distance = boundary_distance(p, target, b.forward);
    // A voice already past it (a run that ended a hair beyond the end, or
    // a start beyond the sample) meets it now.
    if (b.distance < 0) {
        b.frames = 0;
        b.reached = true;
    } else {
        boundary_frames(&b, s24, left);
    }
    return b;
}

// A voice that stops: what an unlooped one does at its end.
void stop_voice(Voice* voice) {
    voice->sample = nullptr;
    voice->position = 0;
    voice->position_frac = 0;
}

// End handling at a boundary the segment reached: wrap, turn round or stop.
// False if the voice stopped. With steps below 2^-24 of a frame the end
// estimate runs early; only a position within one frame of its boundary
// (always the case for real steps) turns round or stops.
inline bool meet_boundary(Voice* voice, const Sample* sample, uint64_t& p, const Boundary& b) {
    const int64_t loop_start = sample->loop_start;
    const int64_t loop_end = loop_start + sample->loop_length;
    const __int128 sp = signed_position(p);
    const bool near_boundary =
        b.forward ? sp > (__int128(loop_end) - 1) << 32 : sp < (__int128(loop_start) + 1) << 32;
    const bool looped = sample->loop_length != 0;
    if (looped && (sample->loop_type & LOOP_FORWARD)) {
        // Wrap only positions at or past the loop end (compared unsigned);
        // one that stopped a little short reaches it in the next segment.
        // Backward here only from a record never triggered: turn forward
        // at the loop start rather than stand still.
        if (!b.forward) voice->direction = DIR_FORWARD;
        if (uint32_t(p >> 32) >= uint64_t(loop_end)) {
            const uint64_t start = uint64_t(loop_start) << 32;
            const uint64_t length = uint64_t(sample->loop_length) << 32;
            const uint64_t past = p - start; // at least one loop length
            p = start + (past - length < length ? past - length : past % length);
        }
    } else if (looped && (sample->loop_type & LOOP_PINGPONG)) {
        if (near_boundary) {
            __int128 u = sp - (__int128(loop_start) << 32);
            reflect(u, voice->direction, __int128(sample->loop_length) << 32);
            p = uint64_t(int64_t((__int128(loop_start) << 32) + u));
        }
    } else if (near_boundary || b.distance < 0 || !looped) {
        stop_voice(voice);
        return false;
    }
    return true;
}

// Where a voice is in its run: what the segments share and move on.
struct VoiceCursor {
    const Sample* sample;
    uint64_t step; // unsigned; negated per segment when moving backward
    uint64_t s24;  // the step for the end estimate, never zero
    uint64_t p;
    float* out;
    uint32_t left; // frames of the run still to do
};

VoiceCursor cursor_begin(const Voice* voice, float* out, int32_t frames) {
    VoiceCursor c;
    c.sample = voice->sample;
    c.step = uint64_t(voice->step_int) << 32 | voice->step_frac;
    c.s24 = (uint64_t(voice->step_int) << 24) + (voice->step_frac >> 8);
    if (c.s24 == 0) c.s24 = END_FALLBACK_STEP >> 8;
    c.p = uint64_t(uint32_t(voice->position)) << 32 | voice->position_frac;
    c.out = out;
    c.left = uint32_t(frames);
    return c;
}

void cursor_store(Voice* voice, const VoiceCursor& c) {
    voice->position = int32_t(uint32_t(c.p >> 32));
    voice->position_frac = uint32_t(c.p);
}

// Moves past `frames` rendered or skipped frames.
inline void cursor_advance(VoiceCursor* c, uint32_t frames) {
    c->out += 2 * frames;
    c->left -= frames;
}

bool gains_silent(const Voice* voice) {
    return (voice->target_left | voice->target_right | voice->current_left |
            voice->current_right) == 0;
}

// Settled at zero gain, the voice adds nothing: only its position moves,
// segment by segment exactly as if it were rendered. (The ramp set-up
// would find no difference on either side and leave just this state.)
void skip_silent_run(Voice* voice, VoiceCursor c) {
    voice->ramp_target_left = voice->ramp_target_right = 0;
    voice->ramp_delta_left = voice->ramp_delta_right = 0;
    while (c.left > 0) {
        const Boundary b = find_boundary(voice, c.sample, c.p, c.s24, c.left);
        c.p = skip_frames(c.p, b.forward ? c.step : 0 - c.step, b.frames);
        c.left -= b.frames;
        if (b.reached && !meet_boundary(voice, c.sample, c.p, b)) return;
    }
    cursor_store(voice, c);
}

// The ramp a segment starts in: the frames it has left, 0 when the gains
// are settled. A new target (or none yet) starts a ramp of `ramp_frames`
// from the current gains, or settles on the targets if they are equal.
int32_t ramp_begin(Voice* voice) {
    if (voice->ramp_frames_left != 0 && voice->target_left == voice->ramp_target_left &&
        voice->target_right == voice->ramp_target_right)
        return voice->ramp_frames_left;
    voice->ramp_target_left = voice->target_left;
    voice->ramp_target_right = voice->target_right;
    const int64_t diff_l = int64_t(voice->target_left) - (uint32_t(voice->current_left) >> 8);
    const int64_t diff_r = int64_t(voice->target_right) - (uint32_t(voice->current_right) >> 8);
    voice->ramp_delta_left =
        diff_l ? to_f32(double(diff_l) * K255 * double(inv_ramp_frames)) : 0.0f;
    voice->ramp_delta_right =
        diff_r ? to_f32(double(diff_r) * K255 * double(inv_ramp_frames)) : 0.0f;
    if (diff_l || diff_r) return ramp_frames;
    // Nothing to ramp: settle exactly on the targets.
    voice->ramp_frames_left = 0;
    voice->current_left = voice->target_left * 256;
    voice->current_right = voice->target_right * 256;
    return 0;
}

// A current gain (255ths << 8) as the float factor it is stored as.
inline double current_gain(int32_t current) {
    return to_f32(double(current) * (1.0 / 256) * K255);
}

// Steady gains gl, gr over `seg` frames. An odd last frame goes the ramp
// way, from the current gains, which it then rounds back.
uint64_t mix_steady_segment(Voice* voice, const VoiceCursor& c, uint64_t signed_step, uint32_t seg,
                            double gl, double gr) {
    const int16_t* data = c.sample->data;
    uint64_t p =
        mixer.steady(c.out, data, c.p, signed_step, seg & ~1u, gl * TWO_POW_M31, gr * TWO_POW_M31);
    if (seg & 1) {
        const double cl = current_gain(voice->current_left);
        const double cr = current_gain(voice->current_right);
        p = mix_frame(c.out + 2 * (seg - 1), data, p, signed_step, cl * TWO_POW_M31,
                      cr * TWO_POW_M31);
        voice->current_left = round_even(cl * 255 * 256);
        voice->current_right = round_even(cr * 255 * 256);
    }
    return p;
}

// `seg` frames of a ramp with `ramp` frames left: in closed form where the
// path has it and both sides' sums are exact, else one delta per frame.
// Stores the gains reached and the frames left (snapping to the targets at
// the ramp's end).
uint64_t mix_ramp_segment(Voice* voice, const VoiceCursor& c, uint64_t signed_step, uint32_t seg,
                          int32_t ramp) {
    const int16_t* data = c.sample->data;
    const double cl = current_gain(voice->current_left);
    const double cr = current_gain(voice->current_right);
    const double dl = voice->ramp_delta_left, dr = voice->ramp_delta_right;
    uint64_t p;
    double l, r;
    if (mixer.ramp_exact && ramp_sums_exact(cl, dl, seg) && ramp_sums_exact(cr, dr, seg)) {
        p = mixer.ramp_exact(c.out, data, c.p, signed_step, seg, cl * TWO_POW_M31, cr * TWO_POW_M31,
                             dl * TWO_POW_M31, dr * TWO_POW_M31);
        l = (cl + double(seg) * dl) * TWO_POW_M31;
        r = (cr + double(seg) * dr) * TWO_POW_M31;
    } else {
        l = cl * TWO_POW_M31;
        r = cr * TWO_POW_M31;
        p = mixer.ramp_step(c.out, data, c.p, signed_step, seg, l, r, dl * TWO_POW_M31,
                            dr * TWO_POW_M31);
    }
    if (seg > 0) {
        voice->current_left = round_even(l * TWO_POW_31 * 255 * 256);
        voice->current_right = round_even(r * TWO_POW_31 * 255 * 256);
    }
    voice->ramp_frames_left = ramp - int32_t(seg);
    if (voice->ramp_frames_left == 0) { // ramp over: snap to the targets
        voice->ramp_delta_left = 0;
        voice->ramp_delta_right = 0;
        voice->current_left = voice->target_left * 256;
        voice->current_right = voice->target_right * 256;
    }
    return p;
}

void mix_voice(Voice* voice, float* out, int32_t frames) {
    if (!voice->sample->data) { // nothing to play
        stop_voice(voice);
        return;
    }
    VoiceCursor c = cursor_begin(voice, out, frames);
    if (voice->ramp_frames_left == 0 && gains_silent(voice)) {
        skip_silent_run(voice, c);
        return;
    }
    // Steady gains: the targets do not change within a run.
    const double gl = to_f32(double(voice->target_left) * K255);
    const double gr = to_f32(double(voice->target_right) * K255);
    while (c.left > 0) {
        const Boundary b = find_boundary(voice, c.sample, c.p, c.s24, c.left);
        const uint64_t signed_step = b.forward ? c.step : 0 - c.step;
        const int32_t ramp = ramp_begin(voice);
        uint32_t seg = b.frames;
        if (ramp > 0) {
            voice->ramp_frames_left = ramp;
            seg = std::min(seg, uint32_t(ramp));
        }
        if (ramp <= 0 && gains_silent(voice)) {
            c.p = skip_frames(c.p, signed_step, seg); // it would add only zeros
        } else if (ramp <= 0) {
            c.p = mix_steady_segment(voice, c, signed_step, seg, gl, gr);
        } else {
            c.p = mix_ramp_segment(voice, c, signed_step, seg, ramp);
            if (seg < b.frames) { // the ramp ended before the boundary
                cursor_advance(&c, seg);
                continue;
            }
        }
        cursor_advance(&c, seg);
        if (b.reached && !meet_boundary(voice, c.sample, c.p, b)) return;
    }
    cursor_store(voice, c);
}

} // namespace

void mixer_mix_run(float* buffer, int32_t frames) {
    if (frames <= 0) return;
    if (!mixer.chosen) mixer_choose();
    // Most voices are idle: they are passed over four at a time.
    static_assert(MIXED_VOICES % 4 == 0);
    for (Voice* group = voices; group < voices + MIXED_VOICES; group += 4) {
        if (!(group[0].sample || group[1].sample || group[2].sample || group[3].sample)) continue;
        for (Voice* v = group; v < group + 4; v++)
            if (v->sample) mix_voice(v, buffer, frames);
    }
}

namespace {

// The conversion of both public calls; CLEAR: the floats read are set to
// +0.0 as they go (source is written only then).
template <bool CLEAR> void convert_to_pcm16(int16_t* destination, float* source, int32_t frames) {
    if (frames <= 0 || !destination || !source) return;
    const int32_t count = 2 * frames;
    if (!mixer.chosen) mixer_choose();
    int32_t i = 0;
    if constexpr (CLEAR) {
        if (mixer.convert_clear) i = mixer.convert_clear(destination, source, count);
    } else {
        if (mixer.convert) i = mixer.convert(destination, source, count);
    }
#if defined(__SSE2__)
    // Clamp (from above only: see MixConvertFn), then round to nearest even
    // (the default rounding mode), 8 at a time; the pack saturates.
    const __m128 hi = _mm_set1_ps(32767.0f);
    for (; i + 8 <= count; i += 8) {
        __m128 a = _mm_min_ps(hi, _mm_loadu_ps(source + i));
        __m128 b = _mm_min_ps(hi, _mm_loadu_ps(source + i + 4));
        if constexpr (CLEAR) {
            _mm_storeu_ps(source + i, _mm_setzero_ps());
            _mm_storeu_ps(source + i + 4, _mm_setzero_ps());
        }
        __m128i packed = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), packed);
    }
#endif
    for (; i < count; i++) {
        float x = source[i];
        if constexpr (CLEAR) source[i] = 0.0f;
        x = x < -32768.0f ? -32768.0f : (x > 32767.0f ? 32767.0f : x);
        destination[i] = int16_t(std::lrint(x)); // ties to even
    }
}

} // namespace

void mixer_convert_to_pcm16(int16_t* destination, const float* source, int32_t frames) {
    convert_to_pcm16<false>(destination, const_cast<float*>(source), frames);
}

void mixer_convert_and_clear(int16_t* destination, float* source, int32_t frames) {
    convert_to_pcm16<true>(destination, source, frames);
}

#if defined(VLORP_MIXER_X86)
namespace {

// What this processor and its OS run, read on first use with three cpuid
// instructions. The compiler's own detection reads a dozen leaves in a
// constructor of every process that links it, and under a hypervisor each
// cpuid is an exit costing microseconds: a tenth of a short render.
enum : uint8_t { CPU_KNOWN = 1, CPU_AVX2 = 2, CPU_AVX512 = 4 };
std::atomic<uint8_t> cpu_features_read{0};

uint64_t read_xcr0() {
    uint32_t lo, hi;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return uint64_t(hi) << 32 | lo;
}

uint8_t cpu_detect() {
    uint32_t a, b, c, d;
    __cpuid(0, a, b, c, d);
    if (a < 7) return CPU_KNOWN;
    __cpuid(1, a, b, c, d);
    constexpr uint32_t OSXSAVE = 1u << 27, AVX = 1u << 28;
    if ((c & (OSXSAVE | AVX)) != (OSXSAVE | AVX)) return CPU_KNOWN;
    // The OS must save the registers: SSE and AVX state, and for AVX-512
    // the mask and both upper halves of the 512-bit registers.
    const uint64_t xcr0 = read_xcr0();
    if ((xcr0 & 0x6) != 0x6) return CPU_KNOWN;
    __cpuid_count(7, 0, a, b, c, d);
    uint8_t features = CPU_KNOWN;
    if (b & (1u << 5)) features |= CPU_AVX2;
    constexpr uint32_t AVX512_F_DQ_BW_VL = 1u << 16 | 1u << 17 | 1u << 30 | 1u << 31;
    if ((xcr0 & 0xE6) == 0xE6 && (b & AVX512_F_DQ_BW_VL) == AVX512_F_DQ_BW_VL)
        features |= CPU_AVX512;
    return features;
}

bool cpu_has(uint8_t feature) {
    uint8_t features = cpu_features_read.load(std::memory_order_relaxed);
    if (!features) {
        features = cpu_detect();
        cpu_features_read.store(features, std::memory_order_relaxed);
    }
    return features & feature;
}

} // namespace
#endif

MixerPath mixer_path_by_name(const char* name) {
    for (int32_t i = 0; i < MIXER_PATH_COUNT; i++)
        if (name && !strcmp(name, PATHS[i].name)) return MixerPath(i);
    return MIXER_PATH_COUNT;
}

const char* mixer_path_name(MixerPath path) {
    return path >= 0 && path < MIXER_PATH_COUNT ? PATHS[path].name : "unknown";
}

bool mixer_path_supported(MixerPath path) {
    switch (path) {
    case MIXER_PLAIN:
        return true;
#if defined(VLORP_MIXER_X86)
    case MIXER_SSE2:
        return true; // the x86-64 floor
    case MIXER_AVX2:
        return cpu_has(CPU_AVX2);
    case MIXER_AVX512:
        return cpu_has(CPU_AVX512);
#endif
    default:
        return false;
    }
}

MixerPath mixer_widest_path() {
    for (int32_t i = MIXER_PATH_COUNT - 1; i > 0; i--)
        if (mixer_path_supported(MixerPath(i))) return MixerPath(i);
    return MIXER_PLAIN;
}

bool mixer_set_path(MixerPath path) {
    if (path < 0 || path >= MIXER_PATH_COUNT || !mixer_path_supported(path)) return false;
    mixer_use(path);
    return true;
}

MixerPath mixer_path() {
    if (!mixer.chosen) mixer_choose();
    return mixer.path;
}

void mixer_reset() {
    ramp_frames = MIX_RATE * 128 / 44100;
    inv_ramp_frames = float(1.0 / double(uint32_t(ramp_frames)));
    memset(voices, 0, sizeof voices);
    for (int32_t i = 0; i < VOICE_COUNT; i++) {
        voices[i].index = i;
        voices[i].step_int = 1;
    }
}
