// sync_fake RENDER.raw OUT OFFSET_MS [AT GAP]...: makes what measure.sh would
// have recorded for a program exactly OFFSET_MS ahead of the sound, so that
// sync_analyze can be checked against a known answer:
//
//   OUT.raw    the render as the sink would have played it: 0.25 s of
//              silence, the song, and at each song time AT (seconds, in
//              order) a gap of GAP seconds of silence, after which the song
//              goes on where it stopped (an underrun); a negative GAP drops
//              that much of the song instead (sound lost);
//   OUT.times  when each recorded frame left the sink;
//   OUT.log    a --sync-log, 60 lines a second, each drawing the song time
//              then heard plus OFFSET_MS (through a gap the heard song
//              stands where the sound stopped).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double RATE = 44100;
constexpr double START = 100; // clock time of the recording's first frame
constexpr long long LEAD = 11025;

std::vector<int16_t> read_pcm(const char* path) {
    std::vector<int16_t> pcm;
    FILE* f = fopen(path, "rb");
    int16_t buf[8192];
    size_t n;
    while (f && (n = fread(buf, 2, 8192, f)) > 0) pcm.insert(pcm.end(), buf, buf + n);
    if (f) fclose(f);
    return pcm;
}

struct Gap {
    long long at, frames; // song frame; frames of silence, or lost when negative
};

// The song frame heard at recording frame `f`.
double song_heard(double f, const std::vector<Gap>& gaps) {
    double r = double(LEAD), s = 0;
    for (const Gap& g : gaps) {
        const double heard = double(g.at) - s;
        if (f < r + heard) return s + (f - r);
        r += heard;
        if (g.frames >= 0 && f < r + double(g.frames)) return double(g.at);
        if (g.frames >= 0) r += double(g.frames);
        s = double(g.frames >= 0 ? g.at : g.at - g.frames);
    }
    return s + (f - r);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc % 2) {
        fprintf(stderr, "usage: sync_fake RENDER.raw OUT OFFSET_MS [AT GAP]...\n");
        return 2;
    }
    const std::vector<int16_t> song = read_pcm(argv[1]);
    const std::string out = argv[2];
    const double offset = atof(argv[3]) / 1000;
    const long long frames = (long long)song.size() / 2;
    std::vector<Gap> gaps;
    for (int i = 4; i + 1 < argc; i += 2)
        gaps.push_back({llround(atof(argv[i]) * RATE), llround(atof(argv[i + 1]) * RATE)});
    std::vector<int16_t> rec(size_t(2 * LEAD), 0);
    long long from = 0;
    for (const Gap& g : gaps) {
        if (g.at < from || g.at - std::min(0LL, g.frames) > frames) {
            fprintf(stderr, "sync_fake: the gaps are not in order inside the render\n");
            return 2;
        }
        rec.insert(rec.end(), song.begin() + 2 * from, song.begin() + 2 * g.at);
        if (g.frames > 0) rec.insert(rec.end(), size_t(2 * g.frames), 0);
        from = g.frames >= 0 ? g.at : g.at - g.frames;
    }
    rec.insert(rec.end(), song.begin() + 2 * from, song.end());
    FILE* raw = fopen((out + ".raw").c_str(), "wb");
    FILE* times = fopen((out + ".times").c_str(), "w");
    FILE* log = fopen((out + ".log").c_str(), "w");
    if (song.empty() || !raw || !times || !log) {
        fprintf(stderr, "sync_fake: no render, or cannot write %s.*\n", out.c_str());
        return 1;
    }
    fwrite(rec.data(), 2, rec.size(), raw);
    const long long recorded = (long long)rec.size() / 2;
    for (long long f = 1023; f < recorded; f += 1024)
        fprintf(times, "%lld %.6f\n", f, START + double(f) / RATE);
    for (double t = START; t < START + double(recorded) / RATE; t += 1.0 / 60) {
        const double heard = song_heard((t - START) * RATE, gaps);
        fprintf(log, "%.6f %.1f 0 0 0 %.6f audio\n", t, heard, heard / RATE + offset);
    }
    fclose(raw);
    fclose(times);
    fclose(log);
    return 0;
}
