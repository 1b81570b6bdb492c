// mixer_mix_run throughput in voice-frames per second: looped and unlooped
// samples, settled gains and gains that ramp all the time, at typical steps
// of 0.1 to 4 frames, on each path of inner loops (plain, sse2, avx2,
// avx512; a path this processor lacks is reported as skipped).
#include "music/mixer.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int32_t SAMPLE_FRAMES = 65536;
constexpr int32_t BENCH_VOICES = 32;

struct BenchSample {
    Sample sample{};
    BenchSample(bool looped) {
        sample.length = SAMPLE_FRAMES;
        sample.data = sample_data_alloc(SAMPLE_FRAMES);
        std::mt19937 rng(7);
        for (int32_t i = 0; i < SAMPLE_FRAMES; i++) sample.data[i] = int16_t(rng() % 20000 - 10000);
        sample.loop_start = looped ? 1000 : 0;
        sample.loop_length = looped ? SAMPLE_FRAMES - 1000 : SAMPLE_FRAMES;
        sample.loop_type = looped ? LOOP_FORWARD : LOOP_NONE;
        if (looped) sample.data[SAMPLE_FRAMES] = sample.data[1000];
    }
    ~BenchSample() { sample_data_free(sample.data); }
};

void setup_voices(const Sample* s) {
    memset(voices, 0, sizeof voices);
    std::mt19937 rng(11);
    for (int32_t i = 0; i < BENCH_VOICES; i++) {
        Voice& v = voices[i];
        v.index = i;
        v.sample = s;
        v.direction = DIR_FORWARD;
        // Steps from 0.1 to 4 frames per output frame.
        uint64_t step = (uint64_t(1) << 32) / 10 + rng() % ((uint64_t(39) << 32) / 10);
        v.step_int = uint32_t(step >> 32);
        v.step_frac = uint32_t(step);
        v.position = int32_t(rng() % 30000);
        v.target_left = v.ramp_target_left = int32_t(rng() % 256);
        v.target_right = v.ramp_target_right = int32_t(rng() % 256);
        v.current_left = v.target_left * 256;
        v.current_right = v.target_right * 256;
    }
}

void run(benchmark::State& state, MixerPath path, bool looped, bool ramped) {
    if (!mixer_set_path(path)) {
        state.SkipWithError("this processor lacks the instruction set");
        return;
    }
    BenchSample bs(looped);
    setup_voices(&bs.sample);
    const int32_t frames = ramped ? 128 : 884;
    std::vector<float> buffer(size_t(frames) * 2);
    int64_t flip = 0;
    for (auto _ : state) {
        if (ramped) { // a new target on every run keeps every frame ramping
            flip++;
            for (int32_t i = 0; i < BENCH_VOICES; i++)
                voices[i].target_left ^= 0x40 | int32_t(flip & 1);
        }
        if (!looped) { // restart voices that reached the end
            for (int32_t i = 0; i < BENCH_VOICES; i++)
                if (!voices[i].sample || voices[i].position > SAMPLE_FRAMES - 8000) {
                    voices[i].sample = &bs.sample;
                    voices[i].position = i * 100;
                }
        }
        mixer_mix_run(buffer.data(), frames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames * BENCH_VOICES);
    state.counters["Mvoice_frames/s"] = benchmark::Counter(
        double(state.iterations()) * frames * BENCH_VOICES / 1e6, benchmark::Counter::kIsRate);
    mixer_set_path(mixer_widest_path());
}

// One entry per kind of run and mixer path: BM_MixRun_LoopedSteady/avx2.
int register_paths() {
    struct Kind {
        const char* name;
        bool looped, ramped;
    };
    const Kind kinds[] = {{"LoopedSteady", true, false},
                          {"UnloopedSteady", false, false},
                          {"LoopedRamped", true, true},
                          {"UnloopedRamped", false, true}};
    for (const Kind& k : kinds)
        for (int32_t i = 0; i < MIXER_PATH_COUNT; i++) {
            MixerPath path = MixerPath(i);
            std::string name = std::string("BM_MixRun_") + k.name + "/" + mixer_path_name(path);
            benchmark::RegisterBenchmark(
                name.c_str(), [=](benchmark::State& s) { run(s, path, k.looped, k.ramped); });
        }
    return 0;
}
const int paths_registered = register_paths();

void BM_ConvertToPcm16(benchmark::State& state) {
    std::vector<float> in(2 * 884);
    std::mt19937 rng(3);
    for (float& x : in) x = float(int32_t(rng() % 80000) - 40000) / 1.3f;
    std::vector<int16_t> out(in.size());
    for (auto _ : state) {
        mixer_convert_to_pcm16(out.data(), in.data(), 884);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 884);
}
BENCHMARK(BM_ConvertToPcm16);

} // namespace
