// The soundtrack's ten instruments and the synthesis of their samples.
#include "assets/gen/gen_module.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

constexpr double PI = 3.14159265358979323846;
// At relative note 0 the note C-4 plays a sample at this rate.
constexpr double C4_RATE = 8363.0;

// ---- Sample synthesis -----------------------------------------------------

// A fixed xorshift generator: the same noise on every run.
struct Noise {
    uint32_t state;
};
static double noise_next(Noise& n) {
    n.state ^= n.state << 13;
    n.state ^= n.state >> 17;
    n.state ^= n.state << 5;
    return double(n.state) / 2147483648.0 - 1.0;
}

// Scales to the 8-bit range with the peak at `peak` (of 127) and rounds.
static std::vector<int16_t> to_8bit(const std::vector<double>& x, double peak = 120.0) {
    double m = 1e-9;
    for (double v : x) m = std::max(m, std::fabs(v));
    std::vector<int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); i++)
        out[i] = int16_t(std::clamp(std::lround(x[i] / m * peak), -127L, 127L));
    return out;
}

static double rate_for(int relative_note) {
    return C4_RATE * std::pow(2.0, relative_note / 12.0);
}

// One band-limited cycle shape, evaluated at phase p (cycles) with harmonics
// 1..max_harmonic weighted by `weight`.
template <typename W> static double additive(double p, int max_harmonic, W weight) {
    double v = 0;
    for (int k = 1; k <= max_harmonic; k++) v += weight(k) * std::sin(2 * PI * k * p);
    return v;
}

// A sample whose first `attack` cycles of `period` frames lead in once and
// whose last cycle loops: every pitched instrument here but the pad.
static XmSampleDef cycle_sample(const char* name, std::vector<int16_t> pcm, int period, int attack,
                                int8_t relative_note, uint8_t panning) {
    XmSampleDef s;
    s.name = name;
    s.pcm = std::move(pcm);
    s.loop = 1;
    s.loop_start = uint32_t(attack * period);
    s.loop_length = uint32_t(period);
    s.relative_note = relative_note;
    s.panning = panning;
    return s;
}

// Pad: a power chord of detuned saws. The root beats as 64 and 65 cycles in
// 2048 samples, the fifth as 96 and 97 (whole cycles, so the loop is
// seamless): a slow warm chorus. Period 32 = C-4.
static XmSampleDef make_pad() {
    const int n = 2048;
    std::vector<double> x(n);
    for (int i = 0; i < n; i++) {
        double t = double(i) / n;
        auto warm = [](int k) { return std::pow(double(k), -1.35); };
        x[i] = additive(64 * t, 12, warm) + additive(65 * t + 0.3, 12, warm) +
               0.55 * additive(96 * t + 0.15, 8, warm) + 0.55 * additive(97 * t + 0.7, 8, warm);
    }
    XmSampleDef s;
    s.name = "pad power chord";
    s.pcm = to_8bit(x);
    s.loop = 1;
    s.loop_start = 0;
    s.loop_length = n;
    s.panning = 128;
    return s;
}

// Bass: eight bright cycles that darken into a looped dark cycle (a plucked
// filter sweep baked into the attack). Period 64, so relative note +12.
static XmSampleDef make_bass() {
    const int period = 64, attack = 8;
    std::vector<double> x;
    for (int c = 0; c <= attack; c++) {
        double bright = 1.0 - double(c) / attack; // 1 .. 0
        int harmonics = 6 + int(14 * bright);
        for (int i = 0; i < period; i++) {
            double p = double(i) / period;
            double v = additive(p, harmonics, [&](int k) {
                double w = 1.0 / k;
                if (k % 2 == 0) w *= 0.55; // between saw and square
                return w * std::exp(-(k - 1) * (0.28 - 0.2 * bright));
            });
            x.push_back(v + 0.35 * std::sin(2 * PI * p)); // extra weight on the fundamental
        }
    }
    return cycle_sample("bass pluck", to_8bit(x), period, attack, 12, 128);
}

// Lead: a 30 % pulse with a little saw. Three brighter cycles give each note
// an edge before the looped cycle of 64 takes over.
static XmSampleDef make_lead() {
    const int period = 64, attack = 3;
    std::vector<double> x;
    for (int c = 0; c <= attack; c++) {
        double soften = 0.03 + 0.03 * c; // fewer high harmonics each cycle
        for (int i = 0; i < period; i++) {
            double p = double(i) / period;
            x.push_back(additive(p, 24 - 2 * c, [&](int k) {
                double pulse = std::sin(PI * k * 0.3) / k;
                return (pulse + 0.35 / k) * std::exp(-soften * k);
            }));
        }
    }
    return cycle_sample("lead pulse", to_8bit(x), period, attack, 12, 128);
}

// Pluck for the arpeggios: a hollow narrow pulse, one looped cycle of 32
// after two brighter ones that give the pick.
static XmSampleDef make_pluck() {
    const int period = 32, attack = 2;
    std::vector<double> x;
    for (int c = 0; c <= attack; c++)
        for (int i = 0; i < period; i++) {
            double p = double(i) / period;
            x.push_back(additive(p, c < attack ? 15 : 12, [&](int k) {
                return std::sin(PI * k * 0.2) / k * (k % 2 ? 1.0 : 0.7) * (c < attack ? 1.15 : 1.0);
            }));
        }
    return cycle_sample("pluck", to_8bit(x, 110), period, attack, 0, 88);
}

// Bell: 1:4 FM (harmonic, so it can loop) whose brightness decays over 24
// cycles, then a looped mellow cycle. Period 64.
static XmSampleDef make_bell() {
    const int period = 64, attack = 14;
    std::vector<double> x;
    for (int c = 0; c <= attack; c++) {
        double index = 0.4 + 2.6 * std::exp(-3.0 * c / attack);
        for (int i = 0; i < period; i++) {
            double p = double(i) / period;
            x.push_back(std::sin(2 * PI * p + index * std::sin(2 * PI * 4 * p)));
        }
    }
    return cycle_sample("glass bell", to_8bit(x), period, attack, 12, 150);
}

// Kick: a sine falling from 170 Hz to 48 Hz, a short click, soft-clipped.
static XmSampleDef make_kick() {
    const int rel = 7;
    const double rate = rate_for(rel);
    const int n = 1700;
    std::vector<double> x(n);
    double phase = 0;
    Noise noise = {0x1234567u};
    for (int i = 0; i < n; i++) {
        double t = i / rate;
        double f = 48 + 122 * std::exp(-t * 28);
        phase += f / rate;
        double amp = std::exp(-t * 9.0) * std::min(1.0, (n - i) / 200.0);
        double click = std::exp(-t * 600) * noise_next(noise) * 0.6;
        x[i] = std::tanh(2.2 * amp * std::sin(2 * PI * phase)) + click;
    }
    XmSampleDef s;
    s.name = "kick";
    s.pcm = to_8bit(x, 124);
    s.relative_note = int8_t(rel);
    s.panning = 128;
    return s;
}

// Snare: a 185 Hz body and bright noise with separate decays.
static XmSampleDef make_snare() {
    const int rel = 7;
    const double rate = rate_for(rel);
    const int n = 1800;
    std::vector<double> x(n);
    Noise noise = {0x9e3779b9u};
    double prev = 0;
    for (int i = 0; i < n; i++) {
        double t = i / rate;
        double r = noise_next(noise);
        double hp = r - 0.6 * prev; // tilt the noise upwards
        prev = r;
        double body =
            std::sin(2 * PI * (185 * t + 30 * (1 - std::exp(-t * 40)) / 40)) * std::exp(-t * 22);
        double tail = std::min(1.0, (n - i) / 150.0);
        x[i] = (0.9 * body + 0.8 * hp * std::exp(-t * 13)) * tail;
    }
    XmSampleDef s;
    s.name = "snare";
    s.pcm = to_8bit(x, 122);
    s.relative_note = int8_t(rel);
    s.panning = 136;
    return s;
}

// Closed hi-hat: high-passed noise with a metallic square cluster, short.
static XmSampleDef make_hat() {
    const int rel = 12;
    const double rate = rate_for(rel);
    const int n = 700;
    std::vector<double> x(n);
    Noise noise = {0xdeadbeefu};
    double prev = 0;
    const double partials[4] = {3120, 4390, 5270, 6630};
    for (int i = 0; i < n; i++) {
        double t = i / rate;
        double r = noise_next(noise);
        double hp = r - prev;
        prev = r;
        double metal = 0;
        for (double f : partials) metal += std::sin(2 * PI * f * t) > 0 ? 0.25 : -0.25;
        double tail = std::min(1.0, (n - i) / 120.0); // no click where the sample ends
        x[i] = (0.8 * hp + 0.35 * metal) * std::exp(-t * 38) * tail;
    }
    XmSampleDef s;
    s.name = "hihat";
    s.pcm = to_8bit(x, 118);
    s.relative_note = int8_t(rel);
    s.panning = 176;
    return s;
}

// Crash: bright noise whose tail ping-pongs, so the cymbal rings on under the
// envelope without an audible loop seam. `extra` lengthens the ringing tail:
// the module is fitted to its byte budget with it.
static XmSampleDef make_crash(int extra) {
    const int rel = 12;
    const double rate = rate_for(rel);
    const int n = 2300 + extra, loop_start = 1200;
    std::vector<double> x(n);
    Noise noise = {0x51ed270bu};
    double prev = 0, low = 0;
    for (int i = 0; i < n; i++) {
        double t = i / rate;
        double r = noise_next(noise);
        low += 0.25 * (r - low);
        double v = (r - prev) * 0.7 + (r - low) * 0.5;
        prev = r;
        double env = i < loop_start ? 0.55 + 0.45 * std::exp(-t * 30) : 0.55;
        x[i] = v * env;
    }
    XmSampleDef s;
    s.name = "crash";
    s.pcm = to_8bit(x, 120);
    s.loop = 2; // ping-pong
    s.loop_start = loop_start;
    s.loop_length = n - loop_start;
    s.relative_note = int8_t(rel);
    s.panning = 160;
    return s;
}

// Tom: a sine that drops a little in pitch, for fills.
static XmSampleDef make_tom() {
    const int rel = 0;
    const double rate = rate_for(rel);
    const int n = 1400;
    std::vector<double> x(n);
    double phase = 0;
    for (int i = 0; i < n; i++) {
        double t = i / rate;
        double f = 130 * (1 + 0.35 * std::exp(-t * 18));
        phase += f / rate;
        double tail = std::min(1.0, (n - i) / 150.0);
        x[i] = std::tanh(1.6 * std::sin(2 * PI * phase)) * std::exp(-t * 11) * tail;
    }
    XmSampleDef s;
    s.name = "tom";
    s.pcm = to_8bit(x, 122);
    s.relative_note = int8_t(rel);
    s.panning = 100;
    return s;
}

static XmEnvelope envelope(std::initializer_list<std::pair<int, int>> points, int sustain = -1,
                           int loop_start = -1, int loop_end = -1) {
    XmEnvelope e;
    for (auto [x, y] : points) {
        e.x[e.point_count] = uint16_t(x);
        e.y[e.point_count] = uint16_t(y);
        e.point_count++;
    }
    e.type = 1;
    if (sustain >= 0) {
        e.type |= 2;
        e.sustain = uint8_t(sustain);
    }
    if (loop_start >= 0) {
        e.type |= 4;
        e.loop_start = uint8_t(loop_start);
        e.loop_end = uint8_t(loop_end);
    }
    return e;
}

static XmInstrumentDef instrument(const char* name, XmSampleDef sample) {
    XmInstrumentDef ins;
    ins.name = name;
    ins.samples.push_back(std::move(sample));
    return ins; // keymap all 0: the one sample for every note
}

std::vector<XmInstrumentDef> make_instruments(int crash_extra) {
    std::vector<XmInstrumentDef> list;
    XmInstrumentDef pad = instrument("pad", make_pad());
    pad.volume_envelope = envelope({{0, 0}, {30, 52}, {60, 44}, {300, 30}}, 2);
    pad.panning_envelope = envelope({{0, 24}, {120, 40}, {240, 24}}, -1, 0, 2);
    pad.fadeout = 180;
    list.push_back(pad);

    XmInstrumentDef bass = instrument("bass", make_bass());
    bass.volume_envelope = envelope({{0, 64}, {8, 50}, {40, 42}}, 2);
    bass.fadeout = 1400;
    list.push_back(bass);

    XmInstrumentDef lead = instrument("lead", make_lead());
    lead.volume_envelope = envelope({{0, 44}, {3, 64}, {14, 52}, {80, 40}}, 2);
    lead.fadeout = 700;
    lead.vibrato_type = 0;
    lead.vibrato_sweep = 40;
    lead.vibrato_depth = 6;
    lead.vibrato_rate = 22;
    list.push_back(lead);

    XmInstrumentDef pluck = instrument("pluck", make_pluck());
    pluck.volume_envelope = envelope({{0, 64}, {3, 46}, {14, 22}, {40, 0}});
    list.push_back(pluck);

    XmInstrumentDef bell = instrument("bell", make_bell());
    bell.volume_envelope = envelope({{0, 64}, {8, 46}, {50, 24}, {160, 8}, {320, 0}});
    bell.fadeout = 300;
    list.push_back(bell);

    list.push_back(instrument("kick", make_kick()));
    list.push_back(instrument("snare", make_snare()));
    list.push_back(instrument("hihat", make_hat()));

    XmInstrumentDef crash = instrument("crash", make_crash(crash_extra));
    crash.volume_envelope = envelope({{0, 64}, {16, 40}, {70, 18}, {180, 6}, {260, 0}});
    crash.fadeout = 500;
    list.push_back(crash);

    list.push_back(instrument("tom", make_tom()));
    return list;
}
