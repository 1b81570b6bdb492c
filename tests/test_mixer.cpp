// Software mixer: worked cases with exact numbers, and the optimised mixer
// against a plain one-frame-at-a-time reference on random voices, bit for bit.
#include "music/mixer.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <gtest/gtest.h>
#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double TWO32 = 4294967296.0;

// ---- reference: every rule written out one frame at a time -------------

float f32(double x) {
    volatile float f = float(x);
    return f;
}

int64_t pos_of(const Voice& v) {
    return int64_t(v.position) * int64_t(1ll << 32) + int64_t(v.position_frac);
}

void set_pos(Voice& v, int64_t p) {
    v.position = int32_t(p >> 32);
    v.position_frac = uint32_t(uint64_t(p));
}

void ref_frame(Voice& v, float* out, double gl, double gr) {
    const int16_t* data = v.sample->data;
    double s0 = data[v.position], s1 = data[v.position + 1];
    double f = double(v.position_frac & ~1u) / TWO32;
    double x = s0 + f * (s1 - s0);
    out[0] = float(double(out[0]) + x * gl);
    out[1] = float(double(out[1]) + x * gr);
    int64_t step = int64_t(uint64_t(v.step_int) << 32 | v.step_frac);
    int64_t p = pos_of(v) & ~int64_t(1);
    set_pos(v, v.direction == DIR_FORWARD ? p + step : p - step);
}

void ref_voice(Voice& v, float* out, int frames) {
    const Sample* s = v.sample;
    const double k = double(0.003921569f);
    const int64_t L = s->loop_start, E = int64_t(s->loop_start) + s->loop_length;
    int left = frames;
    while (left > 0) {
        bool forward = v.direction == DIR_FORWARD;
        int64_t d;
        if (forward) {
            int64_t e = v.position > E ? int64_t(s->length) : E;
            d = (e << 32) - pos_of(v);
        } else {
            d = pos_of(v) - (L << 32);
        }
        int seg = left;
        bool end = false;
        if (d < 0) {
            seg = 0;
            end = true;
        } else if ((d >> 32) < (1 << 24)) {
            uint64_t d24 = uint64_t(d) >> 8;
            uint64_t s24 = uint64_t(v.step_int) * (1u << 24) + v.step_frac / 256;
            if (s24 == 0) s24 = 97391;
            uint64_t n = d24 / s24 + (d24 % s24 != 0);
            if (d24 == 0 && d > 0) n = 1;
            if (n <= uint64_t(seg)) {
                seg = int(n);
                end = true;
            }
        }
        int before = seg, ramp = 0;
        if (v.ramp_frames_left != 0 && v.target_left == v.ramp_target_left &&
            v.target_right == v.ramp_target_right) {
            ramp = v.ramp_frames_left;
        } else {
            v.ramp_target_left = v.target_left;
            v.ramp_target_right = v.target_right;
            int dl = v.target_left - int(uint32_t(v.current_left) >> 8);
            int dr = v.target_right - int(uint32_t(v.current_right) >> 8);
            v.ramp_delta_left = dl ? f32(dl * k * double(inv_ramp_frames)) : 0.0f;
            v.ramp_delta_right = dr ? f32(dr * k * double(inv_ramp_frames)) : 0.0f;
            if (dl || dr) {
                ramp = ramp_frames;
            } else {
                v.ramp_frames_left = 0;
                v.current_left = v.target_left * 256;
                v.current_right = v.target_right * 256;
            }
        }
        if (ramp > 0) {
            v.ramp_frames_left = ramp;
            if (seg > ramp) seg = ramp;
        }
        double gl = f32(v.target_left * k), gr = f32(v.target_right * k);
        double cl = f32(v.current_left * (1.0 / 256) * k);
        double cr = f32(v.current_right * (1.0 / 256) * k);
        bool ramp_way = ramp > 0;
        for (int i = 0; i < seg; i++) {
            if (ramp > 0 || (seg % 2 == 1 && i == seg - 1)) { // odd last frame too
                ramp_way = true;
                ref_frame(v, out + 2 * i, cl, cr);
                if (ramp > 0) {
                    cl += v.ramp_delta_left;
                    cr += v.ramp_delta_right;
                }
            } else {
                ref_frame(v, out + 2 * i, gl, gr);
            }
        }
        if (ramp_way && seg > 0) {
            v.current_left = int32_t(std::nearbyint(cl * 255 * 256));
            v.current_right = int32_t(std::nearbyint(cr * 255 * 256));
        }
        out += 2 * seg;
        left -= seg;
        if (ramp > 0) {
            v.ramp_frames_left = ramp - seg;
            if (v.ramp_frames_left == 0) {
                v.ramp_delta_left = v.ramp_delta_right = 0;
                v.current_left = v.target_left * 256;
                v.current_right = v.target_right * 256;
                if (seg < before) continue;
            }
        }
        if (!end) continue;
        int64_t p = pos_of(v);
        bool near = forward ? p > ((E - 1) << 32) : p < ((L + 1) << 32);
        bool looped = s->loop_length != 0;
        if (looped && (s->loop_type & LOOP_FORWARD)) {
            v.direction = DIR_FORWARD;
            while (uint32_t(v.position) >= uint64_t(E)) v.position -= int32_t(s->loop_length);
        } else if (looped && (s->loop_type & LOOP_PINGPONG)) {
            if (!near) continue;
            // One reflection after the other, the way the rules tell it.
            if (v.direction == DIR_FORWARD) {
                set_pos(v, (E << 33) - pos_of(v) - 1);
                v.direction = DIR_BACKWARD;
            } else {
                set_pos(v, (L << 33) - pos_of(v) - 1);
                v.direction = DIR_FORWARD;
            }
            for (;;) {
                if (v.direction == DIR_BACKWARD && v.position < L) {
                    set_pos(v, (L << 33) - pos_of(v) - 1);
                    v.direction = DIR_FORWARD;
                } else if (v.direction == DIR_FORWARD && v.position >= E) {
                    set_pos(v, (E << 33) - pos_of(v) - 1);
                    v.direction = DIR_BACKWARD;
                } else {
                    break;
                }
            }
        } else if (near || d < 0 || !looped) {
            v.sample = nullptr;
            v.position = 0;
            v.position_frac = 0;
            return;
        }
    }
}

void ref_mix_run(Voice* vs, float* out, int frames) {
    if (frames <= 0) return;
    for (int i = 0; i < MIXED_VOICES; i++)
        if (vs[i].sample) ref_voice(vs[i], out, frames);
}

// ---- helpers -------------------------------------------------------------

struct TestSample {
    Sample s{};
    explicit TestSample(std::vector<int16_t> pcm, uint8_t loop_type = LOOP_NONE,
                        uint32_t loop_start = 0, uint32_t loop_length = 0) {
        s.length = uint32_t(pcm.size());
        s.data = sample_data_alloc(s.length);
        memcpy(s.data, pcm.data(), pcm.size() * 2);
        s.loop_type = loop_type;
        s.bits = 16;
        if (loop_type == LOOP_NONE) {
            s.loop_start = 0;
            s.loop_length = s.length;
        } else {
            s.loop_start = loop_start;
            s.loop_length = loop_length;
            uint32_t e = loop_start + loop_length;
            s.data[e] = loop_type == LOOP_FORWARD ? s.data[loop_start] : s.data[e - 1];
        }
    }
    ~TestSample() { sample_data_free(s.data); }
    TestSample(const TestSample&) = delete;
    TestSample& operator=(const TestSample&) = delete;
};

class Mixer : public ::testing::Test {
  protected:
    void SetUp() override {
        memset(voices, 0, sizeof voices);
        for (int i = 0; i < VOICE_COUNT; i++) {
            voices[i].index = i;
            voices[i].step_int = 1;
        }
        ramp_frames = 128;
        inv_ramp_frames = 1.0f / 128;
    }
    // A voice playing `s` at `pos` frames with step `step`, gains settled at `gain`.
    Voice& start(int i, const Sample& s, double pos, double step, int gain = 255) {
        Voice& v = voices[i];
        v.sample = &s;
        set_pos(v, int64_t(std::llround(pos * TWO32)));
        uint64_t st = uint64_t(std::llround(step * TWO32));
        v.step_int = uint32_t(st >> 32);
        v.step_frac = uint32_t(st);
        v.direction = DIR_FORWARD;
        v.target_left = v.target_right = gain;
        v.ramp_target_left = v.ramp_target_right = gain;
        v.current_left = v.current_right = gain * 256;
        return v;
    }
};

std::vector<int16_t> ramp_pcm(int n) {
    std::vector<int16_t> pcm(size_t(n), 0);
    for (int i = 0; i < n; i++) pcm[size_t(i)] = int16_t(i * 10);
    return pcm;
}

double position(const Voice& v) {
    return double(pos_of(v)) / TWO32;
}

bool same_voice(const Voice& a, const Voice& b) {
    return a.sample == b.sample && a.position == b.position && a.position_frac == b.position_frac &&
           a.direction == b.direction && a.ramp_target_left == b.ramp_target_left &&
           a.ramp_target_right == b.ramp_target_right && a.current_left == b.current_left &&
           a.current_right == b.current_right &&
           memcmp(&a.ramp_delta_left, &b.ramp_delta_left, 4) == 0 &&
           memcmp(&a.ramp_delta_right, &b.ramp_delta_right, 4) == 0 &&
           a.ramp_frames_left == b.ramp_frames_left;
}

// ---- sample ends ---------------------------------------------------------

TEST_F(Mixer, ZeroFramesChangeNothing) {
    TestSample s(ramp_pcm(100));
    start(0, s.s, 10.5, 1.25);
    Voice before = voices[0];
    float buf[4] = {1, 2, 3, 4};
    mixer_mix_run(buf, 0);
    mixer_mix_run(buf, -5);
    EXPECT_TRUE(same_voice(before, voices[0]));
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[3], 4);
}

// Idle voices are passed over in groups of four: a voice playing alone is
// mixed wherever it sits in its group, the last mixed voice included, and
// one beyond the mixed voices never is.
TEST_F(Mixer, EveryMixedVoiceIsMixedAloneAndNoOtherIs) {
    TestSample s(ramp_pcm(100));
    for (int i = 0; i <= MIXED_VOICES; i++) {
        SCOPED_TRACE(i);
        SetUp();
        start(i, s.s, 10, 1);
        float buf[8] = {};
        mixer_mix_run(buf, 4);
        const bool mixed = i < MIXED_VOICES;
        EXPECT_EQ(buf[0], mixed ? 100.0f : 0.0f);
        EXPECT_EQ(buf[7], mixed ? 130.0f : 0.0f);
        EXPECT_EQ(position(voices[i]), mixed ? 14.0 : 10.0);
    }
}

TEST_F(Mixer, UnloopedSampleStopsAtItsEnd) {
    TestSample s(ramp_pcm(1000));
    start(0, s.s, 998.0, 1.0);
    float buf[20] = {};
    mixer_mix_run(buf, 10);
    EXPECT_EQ(buf[0], 9980); // unity gain: the sample values themselves
    EXPECT_EQ(buf[1], 9980);
    EXPECT_EQ(buf[2], 9990);
    for (int i = 4; i < 20; i++) EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(voices[0].sample, nullptr);
    EXPECT_EQ(voices[0].position, 0);
    EXPECT_EQ(voices[0].position_frac, 0u);
    // A record without data, whatever its loop says, ends without a read.
    Sample hollow{};
    hollow.length = 100;
    hollow.loop_length = 100;
    hollow.loop_type = LOOP_FORWARD;
    start(1, hollow, 5.0, 1.0);
    mixer_mix_run(buf, 10);
    EXPECT_EQ(voices[1].sample, nullptr);
}

TEST_F(Mixer, ForwardLoopWrapsPastItsEnd) {
    TestSample s(ramp_pcm(300), LOOP_FORWARD, 100, 50);
    Voice& v = start(0, s.s, 149.5, 1.0);
    float buf[2] = {};
    mixer_mix_run(buf, 1);
    EXPECT_EQ(buf[0], (1490 + 1000) / 2.0f); // the guard frame repeats the loop start
    EXPECT_EQ(position(v), 100.5);
    float more[6] = {};
    mixer_mix_run(more, 3);
    EXPECT_EQ(more[0], 1005);
    EXPECT_EQ(position(v), 103.5);
}

TEST_F(Mixer, ForwardLoopNeverPlaysPastItsEnd) {
    // A run that stopped a hair beyond the loop end wraps at once instead of
    // playing what follows the loop.
    std::vector<int16_t> pcm = ramp_pcm(300);
    for (int i = 150; i < 300; i++) pcm[size_t(i)] = 30000;
    TestSample s(pcm, LOOP_FORWARD, 100, 50);
    Voice& v = start(0, s.s, 150.0 + 1000 / TWO32, 1.0);
    float buf[2] = {};
    mixer_mix_run(buf, 1);
    EXPECT_NEAR(buf[0], 1000, 0.01);
    EXPECT_NEAR(position(v), 101.0, 1e-6);
    // A start beyond an unlooped sample ends the voice without a sound.
    TestSample plain(ramp_pcm(50));
    v.sample = nullptr;
    start(1, plain.s, 70.0, 1.0);
    float quiet[8] = {};
    mixer_mix_run(quiet, 4);
    EXPECT_EQ(voices[1].sample, nullptr);
    for (float x : quiet) EXPECT_EQ(x, 0.0f);
}

TEST_F(Mixer, BackwardOnAForwardLoopTurnsRoundInsteadOfStalling) {
    TestSample s(std::vector<int16_t>(64, 1000), LOOP_FORWARD, 0, 64);
    Voice& v = start(0, s.s, 0.0, 1.0);
    v.direction = 0; // a cleared record: counts as backward
    float buf[8] = {};
    mixer_mix_run(buf, 4);
    EXPECT_EQ(v.direction, DIR_FORWARD);
    EXPECT_EQ(position(v), 4.0);
    EXPECT_EQ(buf[6], 1000);
}

TEST_F(Mixer, StoppingAHairShortOfTheEndStillMovesOn) {
    // Less than 2^-24 of a frame short: the 24-bit estimate says 0 frames,
    // which must still render one so the position reaches the end.
    TestSample s(ramp_pcm(300), LOOP_FORWARD, 100, 50);
    Voice& v = start(0, s.s, 150.0 - 100 / TWO32, 1.0);
    float buf[8] = {};
    mixer_mix_run(buf, 4);
    EXPECT_NEAR(position(v), 104.0, 1e-6);
    EXPECT_NEAR(buf[0], 1000, 0.01); // all but on the guard frame
}

TEST_F(Mixer, PingPongLoopTurnsRound) {
    TestSample s(ramp_pcm(300), LOOP_PINGPONG, 100, 50);
    Voice& v = start(0, s.s, 149.25, 1.0);
    float buf[2] = {};
    mixer_mix_run(buf, 1);
    EXPECT_EQ(v.direction, DIR_BACKWARD);
    EXPECT_EQ(v.position, 149);
    EXPECT_EQ(v.position_frac, 0xBFFFFFFFu); // 149.75 - 2^-32
    // Backward on an exact start: the frame before the loop for one frame.
    TestSample z(ramp_pcm(20), LOOP_PINGPONG, 0, 10);
    Voice& w = start(1, z.s, 2.0, 1.0);
    w.direction = DIR_BACKWARD;
    float more[8] = {};
    mixer_mix_run(more, 3); // 2, 1, then reflect at 0
    EXPECT_EQ(w.direction, DIR_FORWARD);
    EXPECT_EQ(w.position, 0);
    EXPECT_EQ(w.position_frac, 0xFFFFFFFEu);
}

TEST_F(Mixer, PingPongWithAStepLongerThanTheLoopFoldsBackInside) {
    TestSample s(ramp_pcm(64), LOOP_PINGPONG, 10, 3);
    Voice& v = start(0, s.s, 11.0, 37.3);
    Voice ref[VOICE_COUNT];
    memcpy(ref, voices, sizeof voices);
    std::vector<float> a(400, 0), b(400, 0);
    mixer_mix_run(a.data(), 200);
    ref_mix_run(ref, b.data(), 200);
    EXPECT_EQ(0, memcmp(a.data(), b.data(), a.size() * 4));
    EXPECT_TRUE(same_voice(v, ref[0]));
    EXPECT_GE(v.position, 9);
    EXPECT_LE(v.position, 13);
}

TEST_F(Mixer, HugeStepsMeetTheEndAfterOneFrame) {
    // Runs times steps past 64 bits: the boundary is still one frame away,
    // not out of reach (which would read far beyond the sample).
    TestSample s(ramp_pcm(1000));
    Voice& v = start(0, s.s, 3.0, 0);
    v.step_int = 1u << 30; // 2^30 frames per frame: S24 is 2^54
    std::vector<float> buf(2 * 1024, 0);
    mixer_mix_run(buf.data(), 1024); // 1024 * 2^54 = 2^64
    EXPECT_EQ(buf[0], 30);
    EXPECT_EQ(v.sample, nullptr);
    for (size_t i = 2; i < buf.size(); i++) ASSERT_EQ(buf[i], 0) << i;
    // The same within 64 bits: the product only just fits.
    start(1, s.s, 3.0, 0).step_int = 1u << 20;
    std::fill(buf.begin(), buf.end(), 0.0f);
    mixer_mix_run(buf.data(), 1024);
    EXPECT_EQ(buf[0], 30);
    EXPECT_EQ(voices[1].sample, nullptr);
    for (size_t i = 2; i < buf.size(); i++) ASSERT_EQ(buf[i], 0) << i;
}

TEST_F(Mixer, PositionsFarOutsideTheSampleMeetTheirBoundaryAtOnce) {
    // A frame index at the bottom of its range: the distance to the loop
    // start needs more than 64 bits. Backward, the voice is past the start
    // and reflects into the loop before its first frame.
    TestSample s(ramp_pcm(64), LOOP_PINGPONG, 8, 16);
    Voice& v = start(0, s.s, 0, 1.0);
    v.position = INT32_MIN;
    v.direction = DIR_BACKWARD;
    float buf[8] = {};
    mixer_mix_run(buf, 4);
    EXPECT_GE(v.position, 8);
    EXPECT_LT(v.position, 24);
    // Forward beyond an unlooped sample: it ends without a sound.
    TestSample plain(ramp_pcm(50));
    v.sample = nullptr;
    Voice& w = start(1, plain.s, 0, 1.0);
    w.position = INT32_MAX;
    float quiet[8] = {};
    mixer_mix_run(quiet, 4);
    EXPECT_EQ(w.sample, nullptr);
    for (float x : quiet) EXPECT_EQ(x, 0.0f);
}

// ---- ramps ---------------------------------------------------------------

TEST_F(Mixer, RampRisesOver128FramesAndCarriesAcrossRuns) {
    TestSample s(std::vector<int16_t>(64, 1000), LOOP_FORWARD, 0, 64);
    Voice& v = start(0, s.s, 0.0, 1.0, 0);
    v.target_left = v.target_right = 255;
    std::vector<float> buf(2 * 200, 0);
    mixer_mix_run(buf.data(), 100);
    EXPECT_EQ(v.ramp_frames_left, 28);
    EXPECT_EQ(v.current_left, 51000); // gain 100/128
    mixer_mix_run(buf.data() + 200, 100);
    for (int k = 1; k <= 100; k++)
        EXPECT_EQ(buf[size_t(2 * (k - 1))], 1000.0f * (k - 1) / 128) << k;
    // The second run restarts from the gain kept in current_left (1/65280 steps).
    EXPECT_EQ(buf[200], float(1000 * double(float(199.21875 * double(GAIN_SCALE)))));
    EXPECT_NEAR(buf[2 * 127], 1000.0f * 127 / 128, 1e-3);
    for (int k = 129; k <= 200; k++) EXPECT_EQ(buf[size_t(2 * (k - 1) + 1)], 1000.0f) << k;
    EXPECT_EQ(v.ramp_frames_left, 0);
    EXPECT_EQ(v.current_left, 65280);
    EXPECT_EQ(v.ramp_delta_left, 0.0f);
}

TEST_F(Mixer, RetargetMidRampStartsAFreshRampFromTheGainReached) {
    TestSample s(std::vector<int16_t>(64, 1000), LOOP_FORWARD, 0, 64);
    Voice& v = start(0, s.s, 0.0, 1.0, 0);
    v.target_left = v.target_right = 255;
    std::vector<float> buf(2 * 300, 0);
    mixer_mix_run(buf.data(), 64);
    EXPECT_EQ(v.current_left, 32640); // gain 0.5
    v.target_left = 0;
    mixer_mix_run(buf.data() + 128, 10);
    EXPECT_EQ(v.ramp_frames_left, 118);
    const double k = double(GAIN_SCALE);
    float delta = float(-127 * k / 128);
    EXPECT_EQ(v.ramp_delta_left, delta);
    EXPECT_EQ(buf[128], float(1000 * double(float(127.5 * k)))); // starts from the gain reached
    // The right side did not change target but is ramped on from 0.5 too.
    EXPECT_EQ(buf[129], 500.0f);
    mixer_mix_run(buf.data() + 148, 118);
    EXPECT_EQ(v.ramp_frames_left, 0);
    EXPECT_EQ(v.current_left, 0);
    EXPECT_EQ(v.current_right, 65280);
}

TEST_F(Mixer, ChangeWithoutDifferenceEndsTheRampAndUnchangedSidesHold) {
    TestSample s(std::vector<int16_t>(64, 1000), LOOP_FORWARD, 0, 64);
    Voice& v = start(0, s.s, 0.0, 1.0, 0);
    v.target_left = v.target_right = 255;
    float buf[2 * 64] = {};
    mixer_mix_run(buf, 64);
    // Only the right side moves: the left keeps its gain (no stale delta).
    v.target_left = v.current_left >> 8; // 127, no difference
    v.target_right = 0;
    mixer_mix_run(buf, 32);
    EXPECT_EQ(v.ramp_delta_left, 0.0f);
    EXPECT_EQ(v.current_left, 32640);
    // Targets that match the current gains on both sides end the ramp at once.
    v.target_left = v.current_left >> 8;
    v.target_right = v.current_right >> 8;
    mixer_mix_run(buf, 1);
    EXPECT_EQ(v.ramp_frames_left, 0);
    EXPECT_EQ(v.current_left, v.target_left * 256);
    EXPECT_EQ(v.current_right, v.target_right * 256);
}

TEST_F(Mixer, SilentLoopingVoiceKeepsMoving) {
    TestSample s(ramp_pcm(64), LOOP_FORWARD, 0, 64);
    Voice& v = start(0, s.s, 0.0, 1.5, 0);
    float buf[2 * 100] = {};
    for (int i = 0; i < 10; i++) mixer_mix_run(buf, 100);
    for (float x : buf) EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(v.sample, &s.s);
    EXPECT_NEAR(position(v), std::fmod(1500.0, 64.0), 1e-6);
}

// ---- conversion -----------------------------------------------------------

TEST(MixerConvert, RoundsHalfToEvenAndClamps) {
    // 18 values: the 8-wide path and the tail both see each kind of case.
    float in[18] = {32767.5f, -40000, 2.5f,     3.5f, -0.5f, -1.5f, 40000,  -32768.5f, 0.49f,
                    1e30f,    -1e30f, 32767.5f, 2.5f, 3.5f,  -0.5f, -40000, 0.5f,      1.5f};
    int16_t want[18] = {32767, -32768, 2,     4, 0, -2, 32767,  -32768, 0,
                        32767, -32768, 32767, 2, 4, 0,  -32768, 0,      2};
    int16_t out[18];
    mixer_convert_to_pcm16(out, in, 9);
    for (int i = 0; i < 18; i++) EXPECT_EQ(out[i], want[i]) << i;
    out[0] = 7;
    mixer_convert_to_pcm16(out, in, 0);
    mixer_convert_to_pcm16(nullptr, in, 5);
    mixer_convert_to_pcm16(out, nullptr, 5);
    EXPECT_EQ(out[0], 7);
}

// ---- the optimised mixer equals the reference, bit for bit ---------------

TEST_F(Mixer, MatchesOneFrameReferenceOnRandomVoices) {
    std::mt19937 rng(20261207);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<TestSample*> samples;
    for (int i = 0; i < 24; i++) {
        int n = uniform(1, 3000);
        std::vector<int16_t> pcm(size_t(n), 0);
        for (auto& x : pcm) x = int16_t(uniform(-32768, 32767));
        int kind = uniform(0, 2);
        uint32_t ls = uint32_t(uniform(0, n - 1));
        uint32_t ll = uint32_t(uniform(1, n - int(ls)));
        samples.push_back(new TestSample(pcm,
                                         kind == 0   ? LOOP_NONE
                                         : kind == 1 ? LOOP_FORWARD
                                                     : LOOP_PINGPONG,
                                         ls, ll));
    }
    Voice ref[VOICE_COUNT];
    long frames_checked = 0;
    for (int round = 0; round < 60; round++) {
        // Between runs the "replayer" triggers, retargets and re-pitches voices.
        for (int i = 0; i < MIXED_VOICES; i++) {
            Voice& v = voices[i];
            int what = uniform(0, 9);
            if (what == 0 || (!v.sample && what < 4)) {
                const Sample& s = samples[size_t(uniform(0, 23))]->s;
                v.sample = &s;
                set_pos(v, int64_t(uniform(0, int(s.length) - 1)) << 32 | uint32_t(rng()));
                v.direction = DIR_FORWARD;
                v.current_left = v.current_right = 0;
                v.ramp_frames_left = 0;
            }
            if (what <= 5) {
                v.target_left = uniform(0, 255);
                v.target_right = uniform(0, 3) == 0 ? v.target_left : uniform(0, 255);
                if (uniform(0, 5) == 0) v.target_left = v.target_right = 0; // silent voices
            }
            if (what <= 6) {
                int scale = uniform(0, 9);
                uint64_t step =
                    scale == 0   ? uint64_t(rng()) % (uint64_t(40) << 32) // up to 40 frames
                    : scale == 1 ? uint64_t(uniform(1, 8)) << 32          // whole steps
                                 : uint64_t(0x1999999A) + uint64_t(rng()) % (uint64_t(4) << 32);
                v.step_int = uint32_t(step >> 32);
                v.step_frac = uint32_t(step);
            }
        }
        memcpy(ref, voices, sizeof voices);
        int frames = uniform(0, 1200);
        std::vector<float> a(size_t(2 * frames) + 2, 0.0f), b(a.size(), 0.0f);
        for (size_t i = 0; i < a.size(); i++) a[i] = b[i] = float(uniform(-3000, 3000)) / 7;
        mixer_mix_run(a.data(), frames);
        ref_mix_run(ref, b.data(), frames);
        ASSERT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float))) << "round " << round;
        for (int i = 0; i < MIXED_VOICES; i++)
            ASSERT_TRUE(same_voice(voices[i], ref[i])) << "round " << round << " voice " << i;
        frames_checked += frames;
    }
    EXPECT_GT(frames_checked, 20000);
    for (TestSample* s : samples) delete s;
}

// ---- every path of inner loops equals the reference, bit for bit ---------

class MixerPaths : public Mixer, public testing::WithParamInterface<MixerPath> {
  protected:
    void TearDown() override { mixer_set_path(mixer_widest_path()); }
};

// Steps from 2^-20 to 64 frames, spread evenly over their binary exponents.
uint64_t random_step(std::mt19937& rng) {
    double exponent = std::uniform_real_distribution<double>(-20, 6)(rng);
    uint64_t step = uint64_t(std::ldexp(1.0, 32 + int(std::floor(exponent))) *
                             std::uniform_real_distribution<double>(1, 2)(rng));
    return std::min(step, uint64_t(64) << 32);
}

TEST_P(MixerPaths, MatchTheReferenceOnRandomVoices) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    ASSERT_EQ(mixer_path(), path);

    std::mt19937 rng(0x5EED + uint32_t(path));
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<TestSample*> samples;
    for (int i = 0; i < 30; i++) {
        int n = i < 6 ? uniform(1, 16) : uniform(1, 5000); // some loops shorter than a pass
        std::vector<int16_t> pcm(size_t(n), 0);
        for (auto& x : pcm) x = int16_t(uniform(-32768, 32767));
        uint8_t type = i % 3 == 0 ? LOOP_NONE : i % 3 == 1 ? LOOP_FORWARD : LOOP_PINGPONG;
        uint32_t ls = uint32_t(uniform(0, n - 1));
        samples.push_back(new TestSample(pcm, type, ls, uint32_t(uniform(1, n - int(ls)))));
    }
    Voice ref[VOICE_COUNT];
    long frames_checked = 0, ramp_frames_checked = 0;
    for (int round = 0; round < 400; round++) {
        // Between runs the "replayer" triggers, retargets and re-pitches voices.
        for (int i = 0; i < MIXED_VOICES; i++) {
            Voice& v = voices[i];
            int what = uniform(0, 11);
            if (what == 0 || (!v.sample && what < 5)) {
                const Sample& s = samples[size_t(uniform(0, int(samples.size()) - 1))]->s;
                v.sample = &s;
                set_pos(v, int64_t(uniform(0, int(s.length) - 1)) << 32 | uint32_t(rng()));
                // Backward legs exist in ping-pong loops only.
                bool backward = (s.loop_type & LOOP_PINGPONG) && uniform(0, 1);
                v.direction = backward ? DIR_BACKWARD : DIR_FORWARD;
                v.current_left = v.current_right = 0;
                v.ramp_frames_left = 0;
            }
            if (what <= 5) { // a new ramp, often starting or ending inside the next run
                v.target_left = uniform(0, 255);
                v.target_right = uniform(0, 3) == 0 ? v.target_left : uniform(0, 255);
                if (uniform(0, 4) == 0) v.target_left = v.target_right = 0; // settling at zero
                if (uniform(0, 40) == 0) {
                    // Far outside what the replayer writes: a ramp whose sums
                    // are not exact in double must still match.
                    v.current_left = uniform(1, 3);
                    v.target_left = 1 << uniform(18, 22);
                }
            }
            if (what <= 7) {
                uint64_t step = random_step(rng);
                v.step_int = uint32_t(step >> 32);
                v.step_frac = uint32_t(step);
            }
            if (v.ramp_frames_left) ramp_frames_checked += v.ramp_frames_left;
        }
        memcpy(ref, voices, sizeof voices);
        int frames = uniform(0, 3) == 0 ? uniform(1, 9) : uniform(1, 884);
        std::vector<float> a(size_t(2 * frames) + 2, 0.0f), b(a.size(), 0.0f);
        for (size_t i = 0; i < a.size(); i++) a[i] = b[i] = float(uniform(-3000, 3000)) / 7;
        mixer_mix_run(a.data(), frames);
        ref_mix_run(ref, b.data(), frames);
        ASSERT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float))) << "round " << round;
        for (int i = 0; i < MIXED_VOICES; i++)
            ASSERT_TRUE(same_voice(voices[i], ref[i])) << "round " << round << " voice " << i;
        frames_checked += frames;
    }
    EXPECT_GT(frames_checked, 40000);
    EXPECT_GT(ramp_frames_checked, 10000);
    for (TestSample* s : samples) delete s;
}

// Each fallback of the wide loops, taken by one side of a voice only: a
// ramp whose sums are not exact in double (it goes one delta per frame), a
// loop boundary inside a ramping run, a side settled at zero next to one
// that sounds (and an odd last frame). Left and right swap roles, so a
// path that decides for both sides by looking at one of them shows.
struct OneSideCase {
    const char* name;
    int frames;    // the first run; a second run of 301 frames follows
    bool loop;     // a short forward loop: several boundaries per run
    int cur[2];    // current gains (255ths << 8), the side under test first
    int target[2]; // target gains
};

const OneSideCase ONE_SIDE_CASES[] = {
    {"inexact ramp", 300, false, {1, 100 * 256}, {1 << 22, 200}},
    {"inexact ramp resumed", 95, false, {3, 40 * 256}, {1 << 21, 90}},
    {"boundary inside a ramp", 500, true, {0, 128 * 256}, {255, 128}},
    {"boundary inside an inexact ramp", 200, true, {2, 17 * 256}, {1 << 22, 17}},
    {"settled at zero beside a sounding side", 301, true, {0, 200 * 256}, {0, 200}},
    {"settled at zero beside a ramp", 257, false, {0, 10 * 256}, {0, 250}},
};

TEST_P(MixerPaths, OneSideFallbacksMatchTheReference) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    std::mt19937 rng(0xF00D);
    std::vector<int16_t> pcm(4000);
    for (auto& x : pcm) x = int16_t(std::uniform_int_distribution<int>(-32768, 32767)(rng));
    TestSample plain(pcm), looped(pcm, LOOP_FORWARD, 10, 37);
    for (const OneSideCase& c : ONE_SIDE_CASES) {
        for (int side = 0; side < 2; side++) {
            SCOPED_TRACE(std::string(c.name) + (side ? ", right side" : ", left side"));
            SetUp();
            Voice& v = start(0, c.loop ? looped.s : plain.s, 3.25, 1.37);
            int* cur[2] = {&v.current_left, &v.current_right};
            int* target[2] = {&v.target_left, &v.target_right};
            *cur[side] = c.cur[0];
            *cur[1 - side] = c.cur[1];
            *target[side] = c.target[0];
            *target[1 - side] = c.target[1];
            v.ramp_target_left = v.ramp_target_right = -1; // a change: the ramp is worked out
            Voice ref[VOICE_COUNT];
            memcpy(ref, voices, sizeof voices);
            for (int frames : {c.frames, 301}) {
                std::vector<float> a(size_t(2 * frames)), b(a.size());
                for (size_t i = 0; i < a.size(); i++) a[i] = b[i] = float(int(i % 23) - 11) / 3;
                mixer_mix_run(a.data(), frames);
                ref_mix_run(ref, b.data(), frames);
                ASSERT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float)));
                ASSERT_TRUE(same_voice(voices[0], ref[0]));
            }
        }
    }
}

// Steps below two frames, where a wide path may fetch the four frames of a
// pass from one window of samples: every pattern of carries out of the
// fraction between the frames of a pass (steps just below 2, 1, 1/2, 1/3
// and just above them, fractions just below a wrap), starting anywhere up to
// the last frame of a sample (the window then reaches past its end), both
// with settled and with ramping gains, and with the odd frame counts that
// leave a tail.
TEST_P(MixerPaths, StepsBelowTwoFramesMatchTheReferenceAtEveryCarry) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    std::mt19937 rng(0xCA22);
    std::vector<int16_t> pcm(41);
    for (auto& x : pcm) x = int16_t(std::uniform_int_distribution<int>(-32768, 32767)(rng));
    TestSample unlooped(pcm), looped(pcm, LOOP_FORWARD, 3, 38), tiny({-32768, 32767});
    const uint64_t steps[] = {0x1FFFFFFFE, 0x1FFFFFFFF, 0x100000000, 0x100000001, 0x1AAAAAAAB,
                              0x155555556, 0xFFFFFFFE,  0xFFFFFFFF,  0x80000000,  0x80000001,
                              0x7FFFFFFF,  0x55555556,  0x55555555,  0xAAAAAAAB,  1,
                              0,           0x200000000, 0x200000001, 0x200000002, 0x2AAAAAAAB};
    const uint32_t fracs[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xAAAAAAAA, 0xFFFFFFFE, 0xFFFFFFFF};
    const TestSample* kinds[] = {&unlooped, &looped, &tiny};
    for (const TestSample* t : kinds)
        for (uint64_t step : steps)
            for (uint32_t frac : fracs)
                for (int32_t pos = 0; pos < int32_t(t->s.length); pos += 1 + pos / 8)
                    for (int ramped = 0; ramped < 2; ramped++) {
                        SCOPED_TRACE(testing::Message()
                                     << "length " << t->s.length << " step " << step << " frac "
                                     << frac << " at " << pos << (ramped ? " ramped" : ""));
                        SetUp();
                        Voice& v = start(0, t->s, 0, 0, 200);
                        set_pos(v, int64_t(pos) << 32 | frac);
                        v.step_int = uint32_t(step >> 32);
                        v.step_frac = uint32_t(step);
                        if (ramped) v.target_right = 13; // a ramp over the whole run
                        Voice ref[VOICE_COUNT];
                        memcpy(ref, voices, sizeof voices);
                        for (int frames : {47, 1, 82}) {
                            std::vector<float> a(size_t(2 * frames)), b(a.size());
                            for (size_t i = 0; i < a.size(); i++)
                                a[i] = b[i] = float(int(i % 19) - 9) / 3;
                            mixer_mix_run(a.data(), frames);
                            ref_mix_run(ref, b.data(), frames);
                            ASSERT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float)));
                            ASSERT_TRUE(same_voice(voices[0], ref[0]));
                        }
                    }
}

TEST(MixerPathChoice, NamesRoundTripAndPlainAlwaysRuns) {
    for (int32_t i = 0; i < MIXER_PATH_COUNT; i++)
        EXPECT_EQ(mixer_path_by_name(mixer_path_name(MixerPath(i))), MixerPath(i));
    EXPECT_EQ(mixer_path_by_name("avx1024"), MIXER_PATH_COUNT);
    EXPECT_EQ(mixer_path_by_name(nullptr), MIXER_PATH_COUNT);
    EXPECT_TRUE(mixer_path_supported(MIXER_PLAIN));
    EXPECT_TRUE(mixer_path_supported(mixer_widest_path()));
    EXPECT_FALSE(mixer_set_path(MIXER_PATH_COUNT));
    EXPECT_FALSE(mixer_set_path(MixerPath(-1)));
    ASSERT_TRUE(mixer_set_path(MIXER_PLAIN));
    EXPECT_EQ(mixer_path(), MIXER_PLAIN);
    ASSERT_TRUE(mixer_set_path(mixer_widest_path()));
    EXPECT_EQ(mixer_path(), mixer_widest_path());
}

TEST_P(MixerPaths, ConvertRoundsHalfToEvenAndClampsInEveryLane) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    const float cases[7] = {32767.5f, -40000, 2.5f, 3.5f, -0.5f, -32768.5f, 1.5f};
    const int16_t want[7] = {32767, -32768, 2, 4, 0, -32768, 2};
    // 58 values: every case in every lane of the 16-wide groups, then a tail.
    float in[58];
    int16_t out[59];
    for (int i = 0; i < 58; i++) in[i] = cases[i % 7];
    out[58] = 99;
    mixer_convert_to_pcm16(out, in, 29);
    for (int i = 0; i < 58; i++) EXPECT_EQ(out[i], want[i % 7]) << i;
    EXPECT_EQ(out[58], 99); // nothing past the end
}

// The wide loops clamp only from above and leave the rest to saturation:
// values far past the int32 range either way (infinities too), and the
// values just past the bounds, in every lane of each group, then a tail.
TEST_P(MixerPaths, ConvertSaturatesFarBeyondEitherBound) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    const float inf = std::numeric_limits<float>::infinity();
    const float cases[9] = {3e9f,           -3e9f,    inf,       -inf,     2147483648.0f,
                            -2147483904.0f, 32768.0f, -32769.0f, -32768.5f};
    const int16_t want[9] = {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768, -32768};
    std::vector<float> in(9 * 16 + 6); // whole groups in every lane, then a tail
    std::vector<int16_t> out(in.size());
    for (size_t i = 0; i < in.size(); i++) in[i] = cases[i % 9];
    for (bool clear : {false, true}) {
        std::vector<float> source = in;
        if (clear)
            mixer_convert_and_clear(out.data(), source.data(), int32_t(in.size() / 2));
        else
            mixer_convert_to_pcm16(out.data(), source.data(), int32_t(in.size() / 2));
        for (size_t i = 0; i + 1 < in.size(); i++)
            EXPECT_EQ(out[i], want[i % 9]) << clear << " " << i;
    }
}

// The conversion that ends a block also clears its floats for the next one:
// the same samples as without, every float read now +0.0 (a -0.0 too), in
// the wide groups and in the tail, and nothing past the end touched.
TEST_P(MixerPaths, ConvertAndClearGivesTheSameSamplesAndLeavesZeros) {
    const MixerPath path = GetParam();
    if (!mixer_path_supported(path))
        GTEST_SKIP() << "this processor cannot run the " << mixer_path_name(path) << " path";
    ASSERT_TRUE(mixer_set_path(path));
    const float cases[7] = {32767.5f, -40000, 2.5f, -0.0f, -0.5f, -32768.5f, 1.5f};
    for (int32_t frames : {1, 4, 8, 9, 29}) {
        SCOPED_TRACE(frames);
        const int32_t count = 2 * frames;
        float in[59];
        int16_t want[58], out[59];
        for (int i = 0; i < 59; i++) in[i] = cases[i % 7];
        in[count] = 123.0f;
        out[count] = 99;
        mixer_convert_to_pcm16(want, in, frames);
        mixer_convert_and_clear(out, in, frames);
        for (int i = 0; i < count; i++) {
            EXPECT_EQ(out[i], want[i]) << i;
            EXPECT_EQ(std::bit_cast<uint32_t>(in[i]), 0u) << i;
        }
        EXPECT_EQ(in[count], 123.0f);
        EXPECT_EQ(out[count], 99);
    }
}

std::string path_test_name(const testing::TestParamInfo<MixerPath>& info) {
    return mixer_path_name(info.param);
}

INSTANTIATE_TEST_SUITE_P(Each, MixerPaths,
                         testing::Values(MIXER_PLAIN, MIXER_SSE2, MIXER_AVX2, MIXER_AVX512),
                         path_test_name);

} // namespace
