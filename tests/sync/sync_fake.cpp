// sync_fake RENDER.raw OUT AT GAP OFFSET_MS: makes what measure.sh would have
// recorded for a program exactly OFFSET_MS ahead of the sound, so that
// sync_analyze can be checked against a known answer:
//
//   OUT.raw    the render as the sink would have played it: 0.25 s of
//              silence, the song, and at song time AT (seconds) a gap of
//              GAP seconds of silence, after which the song goes on where
//              it stopped (an underrun); a negative GAP drops that much of
//              the song instead (sound lost);
//   OUT.times  when each recorded frame left the sink;
//   OUT.log    a --sync-log, 60 lines a second, each drawing the song time
//              then heard plus OFFSET_MS (through a gap the heard song
//              stands where the sound stopped).
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

// The song frame heard at recording frame `f`.
double song_heard(double f, long long at, long long gap) {
    const double s = f - double(LEAD);
    if (s < double(at)) return s;
    if (gap >= 0) return s < double(at + gap) ? double(at) : s - double(gap);
    return s - double(gap); // the lost stretch is skipped
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: sync_fake RENDER.raw OUT AT GAP OFFSET_MS\n");
        return 2;
    }
    const std::vector<int16_t> song = read_pcm(argv[1]);
    const std::string out = argv[2];
    const long long at = llround(atof(argv[3]) * RATE), gap = llround(atof(argv[4]) * RATE);
    const double offset = atof(argv[5]) / 1000;
    const long long frames = (long long)song.size() / 2;
    if (song.empty() || at <= 0 || at >= frames || at - gap >= frames) {
        fprintf(stderr, "sync_fake: no render, or the gap is not inside it\n");
        return 2;
    }
    std::vector<int16_t> rec(size_t(2 * LEAD), 0);
    rec.insert(rec.end(), song.begin(), song.begin() + 2 * at);
    if (gap > 0) rec.insert(rec.end(), size_t(2 * gap), 0);
    rec.insert(rec.end(), song.begin() + 2 * (gap < 0 ? at - gap : at), song.end());
    FILE* raw = fopen((out + ".raw").c_str(), "wb");
    FILE* times = fopen((out + ".times").c_str(), "w");
    FILE* log = fopen((out + ".log").c_str(), "w");
    if (!raw || !times || !log) {
        fprintf(stderr, "sync_fake: cannot write %s.*\n", out.c_str());
        return 1;
    }
    fwrite(rec.data(), 2, rec.size(), raw);
    const long long recorded = (long long)rec.size() / 2;
    for (long long f = 1023; f < recorded; f += 1024)
        fprintf(times, "%lld %.6f\n", f, START + double(f) / RATE);
    for (double t = START; t < START + double(recorded) / RATE; t += 1.0 / 60) {
        const double heard = song_heard((t - START) * RATE, at, gap);
        fprintf(log, "%.6f %.1f 0 0 0 %.6f audio\n", t, heard, heard / RATE + offset);
    }
    fclose(raw);
    fclose(times);
    fclose(log);
    return 0;
}
