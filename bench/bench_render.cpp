// Whole-song offline rendering through the block filler, replayer and
// mixer: reports the real-time factor (seconds of audio per second).
#include "music/memsrc.h"
#include "music/output.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

constexpr int32_t RENDER_BLOCKS = 3000; // 60 s of audio

std::vector<uint8_t> module_bytes;

StreamHandle bench_open(const char*) {
    return memsrc_open_bytes(module_bytes.data(), int32_t(module_bytes.size()));
}

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return true;
}

void render(benchmark::State& state, const std::string& path) {
    if (!read_file(path, module_bytes)) {
        state.SkipWithError("cannot read the module");
        return;
    }
    stream_set_callbacks(bench_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell);
    Song* song = song_load("", nullptr);
    if (!song) {
        state.SkipWithError("not a module");
        return;
    }
    int64_t blocks = 0;
    for (auto _ : state) {
        output_offline_start(song);
        for (int32_t b = 0; b < RENDER_BLOCKS; b++)
            benchmark::DoNotOptimize(output_offline_mix_block(nullptr));
        blocks += RENDER_BLOCKS;
    }
    player_stop(song);
    state.counters["channels"] = song->channel_count;
    song_free(song);
    double audio_seconds = double(blocks) * BLOCK_FRAMES / MIX_RATE;
    state.counters["x_realtime"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
}

// The soundtrack, and every module of the corpus when it is there.
int register_songs() {
    benchmark::RegisterBenchmark("BM_Render/soundtrack", render,
                                 std::string(VLORP_SOURCE_DIR) + "/assets/soundtrack.xm")
        ->Unit(benchmark::kMillisecond);
    std::vector<std::string> names;
    if (DIR* d = opendir(VLORP_CORPUS_DIR)) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 3 && n.substr(n.size() - 3) == ".xm") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        benchmark::RegisterBenchmark(("BM_Render/" + n).c_str(), render,
                                     std::string(VLORP_CORPUS_DIR) + "/" + n)
            ->Unit(benchmark::kMillisecond);
    return 0;
}
const int registered = register_songs();

} // namespace
