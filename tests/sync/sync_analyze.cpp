// sync_analyze REC.raw REC.times RENDER.raw SYNC.log [--limits] [--within MS] [--median]
//              [--from S] [--until S]
//
// How far the picture (or status line) was from the sound at every line of
// a --sync-log. The sound actually heard is the recording of the sink's
// monitor (sync_record): its times are fitted with a line, frame -> time,
// and it is aligned to the offline render of the same song by
// cross-correlation, so that for any moment the song frame then leaving
// the sink is known. Where the lag changes (a gap in the sound, or sound
// lost) the change is placed to the frame; through a gap the song heard
// stands where the sound stopped. A log line's offset is the show time it drew minus
// the song time heard when it appeared: positive = picture ahead.
//
// Prints one report line. --limits: exit 1 unless the mean is within
// +-5 ms, 99 % of lines within +-17 ms and the drift (the fitted line's
// change over the run) within 2 ms. --within MS: exit 1 unless the median
// is within +-MS ms. --median: print only the median, in ms. --from, --until:
// only the lines while song time S was heard (default from 0.5 s: the start
// alone is seen with --until 1). With SYNC_TRACE
// set, every line's time, song time heard and offset go to standard error.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double RATE = 44100;

std::vector<float> read_mono(const char* path) {
    std::vector<float> mono;
    FILE* f = fopen(path, "rb");
    if (!f) return mono;
    int16_t frame[2 * 4096];
    size_t n;
    while ((n = fread(frame, 4, 4096, f)) > 0)
        for (size_t i = 0; i < n; i++) mono.push_back(0.5f * (frame[2 * i] + frame[2 * i + 1]));
    fclose(f);
    return mono;
}

std::vector<int16_t> read_pcm(const char* path) {
    std::vector<int16_t> pcm;
    FILE* f = fopen(path, "rb");
    if (!f) return pcm;
    int16_t buf[8192];
    size_t n;
    while ((n = fread(buf, 2, 8192, f)) > 0) pcm.insert(pcm.end(), buf, buf + n);
    fclose(f);
    return pcm;
}

// time = a + b * frame, least squares, then again without the points more
// than 3 median deviations off (reads that were scheduled late).
struct Line {
    double a, b, spread;
};
Line fit_times(const char* path) {
    std::vector<double> x, y;
    FILE* f = fopen(path, "r");
    long long frame;
    double t;
    while (f && fscanf(f, "%lld %lf", &frame, &t) == 2) {
        if (frame < 2 * 44100) continue; // a new stream's first burst: see sync_record
        x.push_back(double(frame));
        y.push_back(t);
    }
    if (f) fclose(f);
    std::vector<bool> use(x.size(), true);
    Line line = {0, 1 / RATE, 0};
    for (int pass = 0; pass < 2; pass++) {
        double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
        const double x0 = x.empty() ? 0 : x[0], y0 = y.empty() ? 0 : y[0];
        for (size_t i = 0; i < x.size(); i++) {
            if (!use[i]) continue;
            const double dx = x[i] - x0, dy = y[i] - y0;
            sx += dx, sy += dy, sxx += dx * dx, sxy += dx * dy, n++;
        }
        const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        line = {y0 + (sy - b * sx) / n - b * x0, b, 0};
        std::vector<double> residual;
        for (size_t i = 0; i < x.size(); i++)
            residual.push_back(std::fabs(y[i] - (line.a + line.b * x[i])));
        std::vector<double> sorted = residual;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        line.spread = sorted.empty() ? 0 : sorted[sorted.size() / 2];
        for (size_t i = 0; i < x.size(); i++) use[i] = residual[i] <= 3 * line.spread + 1e-4;
    }
    return line;
}

// Recording frame = song frame + lag, for song frames from `start` on
// (`width` of them compared), with the lag searched in [low, high]: coarse
// on 32-frame envelopes, then sample by sample around the best coarse lag.
long long align(const std::vector<float>& rec, const std::vector<float>& song, size_t start,
                size_t width, long long low, long long high) {
    constexpr long long D = 32;
    if (song.size() < start + width) return LLONG_MIN;
    // Levels of 32-frame stretches of the recording, at every offset that
    // is a multiple of 32 from `start`'s phase.
    static std::vector<double> levels;
    static const std::vector<float>* levels_of = nullptr;
    static long long phase = -1;
    const long long p = (long long)start % D;
    if (levels_of != &rec || phase != p) {
        levels.assign(rec.size() / D + 1, 0);
        for (size_t i = size_t(p); i < rec.size(); i++)
            levels[(i - size_t(p)) / D] += std::fabs(rec[i]);
        levels_of = &rec, phase = p;
    }
    auto rec_level = [&](long long from) { // from = p + k * D
        const long long k = (from - p) / D;
        return from >= p && k < (long long)levels.size() ? levels[size_t(k)] : 0.0;
    };
    std::vector<double> want(width / D);
    for (size_t k = 0; k < want.size(); k++)
        for (size_t i = 0; i < size_t(D); i++) want[k] += std::fabs(song[start + k * D + i]);
    double best = -1e300;
    long long coarse = LLONG_MIN;
    for (long long lag = low - ((low % D) + D) % D; lag <= high; lag += D) {
        double dot = 0, norm = 0;
        for (size_t i = 0; i < want.size(); i++) {
            const double have = rec_level((long long)start + (long long)i * D + lag);
            dot += want[i] * have, norm += have * have;
        }
        const double score = norm > 0 ? dot / std::sqrt(norm) : 0;
        if (score > best) best = score, coarse = lag;
    }
    if (coarse == LLONG_MIN) return coarse;
    best = -1e300;
    long long lag = coarse;
    for (long long l = coarse - 2 * D; l <= coarse + 2 * D; l++) {
        double dot = 0;
        for (size_t i = start; i < start + width; i++) {
            const long long r = (long long)i + l;
            if (r >= 0 && r < (long long)rec.size()) dot += double(song[i]) * rec[size_t(r)];
        }
        if (dot > best) best = dot, lag = l;
    }
    return lag;
}

// Whether song frame i is heard bit for bit at recording frame i + lag.
bool frame_agrees(const std::vector<int16_t>& rec, const std::vector<int16_t>& song, long long i,
                  long long lag) {
    const long long r = i + lag;
    return i >= 0 && 2 * i + 1 < (long long)song.size() && r >= 0 &&
           2 * r + 1 < (long long)rec.size() && rec[size_t(2 * r)] == song[size_t(2 * i)] &&
           rec[size_t(2 * r + 1)] == song[size_t(2 * i + 1)];
}

// Whether recording and song agree sample for sample over a stretch (to the
// song's end).
bool agrees(const std::vector<int16_t>& rec, const std::vector<int16_t>& song, size_t start,
            size_t width, long long lag) {
    for (size_t i = start; i < start + width && 2 * i + 1 < song.size(); i++)
        if (!frame_agrees(rec, song, (long long)i, lag)) return false;
    return true;
}

// The recording frame after its last sound (where the program stopped).
long long recording_end(const std::vector<int16_t>& rec) {
    long long end = (long long)rec.size() / 2;
    while (end > 0 && rec[size_t(2 * end - 1)] == 0 && rec[size_t(2 * end - 2)] == 0) end--;
    return end;
}

// Normalised correlation of song and recording over a stretch, at a lag.
double likeness(const std::vector<float>& rec, const std::vector<float>& song, size_t start,
                size_t width, long long lag) {
    double dot = 0, a = 0, b = 0;
    for (size_t i = start; i < start + width && i < song.size(); i++) {
        const long long r = (long long)i + lag;
        const double x = song[i], y = r >= 0 && r < (long long)rec.size() ? rec[size_t(r)] : 0;
        dot += x * y, a += x * x, b += y * y;
    }
    return a > 0 && b > 0 ? dot / std::sqrt(a * b) : 0;
}

// Exactly where the recording shows song frame `at` within `reach` frames
// of `lag`: the nearest lag at which `width` frames from there are heard
// bit for bit, or LLONG_MIN.
long long align_exact(const std::vector<int16_t>& rec, const std::vector<int16_t>& song, size_t at,
                      long long lag, long long reach, long long width) {
    const long long start = (long long)at;
    if (2 * (start + width) > (long long)song.size()) return LLONG_MIN;
    const auto want = song.begin() + 2 * start, want_end = want + 2 * width;
    const long long low = std::max(0LL, start + lag - reach);
    const long long high = std::min((long long)rec.size(), 2 * (start + lag + reach + width));
    if (2 * low >= high) return LLONG_MIN;
    const auto end = rec.begin() + high;
    long long best = LLONG_MIN;
    for (auto from = rec.begin() + 2 * low;; ++from) {
        from = std::search(from, end, want, want_end);
        if (from == end) break;
        const long long sample = from - rec.begin(), found = sample / 2 - start;
        if (sample % 2) continue; // a frame starts on an even sample
        if (best == LLONG_MIN || std::llabs(found - lag) < std::llabs(best - lag)) best = found;
        if (found > lag) break; // any later one lies further off
    }
    return best;
}

// The lag, stretch by stretch of STEP song frames (93 ms): a gap (an underrun, a
// dropped stretch of the recording) moves it on. Entry k holds the lag for
// song frames from k * STEP on.
constexpr size_t STEP = 4096;
std::vector<long long> align_steps(const std::vector<float>& rec, const std::vector<float>& song,
                                   const std::vector<int16_t>& rec_pcm,
                                   const std::vector<int16_t>& song_pcm) {
    const size_t second = size_t(RATE);
    // The song's start out of silence, found sample for sample (a song
    // repeats itself, its start does not); by cross-correlation over its
    // first two seconds if the server changed the samples.
    long long first = LLONG_MIN;
    size_t onset = 0;
    while (onset < song_pcm.size() && song_pcm[onset] == 0) onset++;
    onset &= ~size_t(1);
    if (onset + 128 <= song_pcm.size()) {
        const auto want = song_pcm.begin() + long(onset);
        for (auto at = rec_pcm.begin();; at++) { // a frame starts on an even sample
            at = std::search(at, rec_pcm.end(), want, want + 128);
            if (at == rec_pcm.end()) break;
            if ((at - rec_pcm.begin()) % 2 == 0) {
                first = ((at - rec_pcm.begin()) - (long long)onset) / 2;
                break;
            }
        }
    }
    if (first == LLONG_MIN)
        first = align(rec, song, 0, 2 * second, -(long long)song.size(), (long long)rec.size());
    const long long last_sound = recording_end(rec_pcm);
    std::vector<long long> lags;
    long long lag = first;
    for (size_t k = 0; (k + 1) * STEP <= song.size(); k++) {
        const size_t at = k * STEP;
        // Past the recording's last sound (the program stopped) nothing
        // can match: the lag stays.
        const bool heard = (long long)at + lag < last_sound;
        if (at >= 2 * second && heard && !agrees(rec_pcm, song_pcm, at, 2048, lag)) {
            const long long found =
                align(rec, song, at, STEP, lag - (long long)second, lag + (long long)second);
            // Sound the server touched after an underrun need not be bit-exact:
            // a clear likeness will do.
            if (found != LLONG_MIN && (agrees(rec_pcm, song_pcm, at, 2048, found) ||
                                       likeness(rec, song, at, STEP, found) > 0.9))
                lag = found;
            else if (const long long exact =
                         align_exact(rec_pcm, song_pcm, at, lag, 10 * second, 2048);
                     exact != LLONG_MIN)
                lag = exact;
        }
        lags.push_back(at < 2 * second ? first : lag);
    }
    return lags;
}

// Song frames [from, to) heard at recording frames [from + lag, to + lag).
struct Segment {
    long long from, to, lag;
};

// The song heard, segment by segment, placed to the frame. The walk follows
// one lag while the recording is the render bit for bit; where they part,
// the song is looked for again from there on, RUN frames at a time, within
// 2 s of the old lag, the nearest place first (an underrun leaves a gap and
// the song goes on where it stopped; lost sound skips some). A new segment
// starts at the first frame heard at its lag. Where nothing is found within
// a second of song (sound lost, or touched by the server), the next
// stretch's lag from align_steps stands in, and while that is not heard bit
// for bit either, one look per stretch.
constexpr long long RUN = 256;
std::vector<Segment> segments_walk(const std::vector<long long>& lags,
                                   const std::vector<int16_t>& rec,
                                   const std::vector<int16_t>& song) {
    const long long frames = (long long)song.size() / 2, second = (long long)RATE;
    const long long last_sound = recording_end(rec);
    std::vector<Segment> segments = {{0, LLONG_MAX, lags[0]}};
    long long i = std::max(0LL, -lags[0]);
    bool exact = true;
    while (i < frames) {
        Segment& last = segments.back();
        while (i < frames && frame_agrees(rec, song, i, last.lag)) i++;
        if (i >= frames || i + last.lag >= last_sound) break; // the song or the sound ended
        const long long stop = i, span = exact ? second : RUN;
        long long at = stop, lag = LLONG_MIN;
        for (; at + RUN <= frames && at < stop + span; at += RUN)
            if ((lag = align_exact(rec, song, size_t(at), last.lag, 2 * second, RUN)) != LLONG_MIN)
                break;
        if (lag == LLONG_MIN) {
            const long long k = at / (long long)STEP + 1;
            if (k >= (long long)lags.size()) break;
            at = k * (long long)STEP, lag = lags[size_t(k)];
        }
        exact = agrees(rec, song, size_t(at), RUN, lag);
        if (lag != last.lag) {
            long long from = at;
            while (exact && from > stop && frame_agrees(rec, song, from - 1, lag)) from--;
            last.to = exact ? stop : at;
            segments.push_back({from, LLONG_MAX, lag});
        }
        i = at + (exact ? 0 : 1);
    }
    return segments;
}

// Song frames heard by recording frame `frame`: through a gap, the song
// stands where the sound stopped.
double segments_heard(const std::vector<Segment>& segments, double frame) {
    const Segment* in = &segments[0];
    for (const Segment& s : segments)
        if (double(s.from + s.lag) <= frame) in = &s;
    return std::min(frame - double(in->lag), double(in->to));
}

struct LogLine {
    double time, show;
};

std::vector<LogLine> read_log(const char* path) {
    std::vector<LogLine> lines;
    FILE* f = fopen(path, "r");
    char text[256];
    while (f && fgets(text, sizeof text, f)) {
        LogLine line;
        double heard;
        long long delay;
        int order, row;
        if (text[0] == '#') continue;
        if (sscanf(text, "%lf %lf %lld %d %d %lf", &line.time, &heard, &delay, &order, &row,
                   &line.show) == 6)
            lines.push_back(line);
    }
    if (f) fclose(f);
    return lines;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: sync_analyze REC.raw REC.times RENDER.raw SYNC.log [--limits] "
                        "[--within MS] [--median] [--from S] [--until S]\n");
        return 2;
    }
    bool limits = false;
    double within = NAN;
    bool median_only = false;
    double from = 0.5, until = INFINITY;
    for (int i = 5; i < argc; i++) {
        if (!strcmp(argv[i], "--limits")) limits = true;
        if (!strcmp(argv[i], "--within") && i + 1 < argc) within = atof(argv[++i]);
        if (!strcmp(argv[i], "--median")) median_only = true;
        if (!strcmp(argv[i], "--from") && i + 1 < argc) from = atof(argv[++i]);
        if (!strcmp(argv[i], "--until") && i + 1 < argc) until = atof(argv[++i]);
    }
    const std::vector<float> rec = read_mono(argv[1]);
    const std::vector<float> song = read_mono(argv[3]);
    const std::vector<int16_t> rec_pcm = read_pcm(argv[1]), song_pcm = read_pcm(argv[3]);
    const Line line = fit_times(argv[2]);
    const std::vector<long long> lags = align_steps(rec, song, rec_pcm, song_pcm);
    if (lags.empty() || lags[0] == LLONG_MIN) {
        fprintf(stderr, "sync_analyze: the recording is too short\n");
        return 1;
    }
    const std::vector<Segment> segments = segments_walk(lags, rec_pcm, song_pcm);
    // What was heard is the render, bit for bit, where both exist; gaps
    // are counted (each a change of lag).
    long long compared = 0, differ = 0;
    const long long gaps = (long long)segments.size() - 1;
    if (getenv("SYNC_TRACE"))
        for (const Segment& s : segments) {
            char to[32] = "the end"; // the last segment runs on
            if (s.to != LLONG_MAX) snprintf(to, sizeof to, "%.3f s", double(s.to) / RATE);
            fprintf(stderr, "# song from %.3f s to %s heard %+.1f ms later than recorded\n",
                    double(s.from) / RATE, to, double(s.lag) * 1000 / RATE);
        }
    for (const Segment& s : segments)
        for (long long i = std::max(s.from, -s.lag);
             i < s.to && 2 * i + 1 < (long long)song_pcm.size(); i++) {
            const long long r = i + s.lag;
            if (2 * r + 1 >= (long long)rec_pcm.size()) break;
            compared += 2;
            differ += (rec_pcm[size_t(2 * r)] != song_pcm[size_t(2 * i)]) +
                      (rec_pcm[size_t(2 * r + 1)] != song_pcm[size_t(2 * i + 1)]);
        }
    // Seconds of song heard by time t: the recording frame then leaving
    // the sink, less the lag of the segment it lies in.
    auto heard_at = [&](double t) {
        return segments_heard(segments, (t - line.a) / line.b) / RATE;
    };
    const double recorded_end = (double(rec.size()) - double(segments.back().lag)) / RATE;
    std::vector<double> offsets, times;
    for (const LogLine& l : read_log(argv[4])) {
        const double heard = heard_at(l.time);
        if (heard < from || heard > std::min(until, recorded_end - 0.1))
            continue; // music playing, recorded
        offsets.push_back((l.show - heard) * 1000);
        if (getenv("SYNC_TRACE"))
            fprintf(stderr, "%.3f %.3f %+.1f\n", l.time, heard, offsets.back());
        times.push_back(l.time);
    }
    if (offsets.size() < 10) {
        fprintf(stderr, "sync_analyze: fewer than 10 log lines while the music played\n");
        return 1;
    }
    double sum = 0, st = 0, so = 0, stt = 0, sto = 0;
    std::vector<double> magnitude;
    for (size_t i = 0; i < offsets.size(); i++) {
        const double t = times[i] - times[0];
        sum += offsets[i];
        st += t, so += offsets[i], stt += t * t, sto += t * offsets[i];
        magnitude.push_back(std::fabs(offsets[i]));
    }
    const double n = double(offsets.size());
    const double mean = sum / n;
    const double slope = (n * sto - st * so) / (n * stt - st * st); // ms per second
    const size_t tenth = std::max<size_t>(1, offsets.size() / 10);
    double first = 0, last = 0;
    for (size_t i = 0; i < tenth; i++) first += offsets[i], last += offsets[offsets.size() - 1 - i];
    const double ends = (last - first) / double(tenth);
    const double drift = slope * (times.back() - times.front()); // over the run, by the fitted line
    const double p99 = percentile(magnitude, 0.99);
    if (median_only) {
        printf("%.2f\n", percentile(offsets, 0.5));
        return 0;
    }
    printf("lines %zu over %.1f s: offset mean %+.1f ms, median %+.1f ms, 99%% within %.1f ms, "
           "max %.1f ms, drift %+.2f ms/min (%+.1f ms over the run; last tenth - first %+.1f ms); "
           "time fit spread %.2f ms, "
           "clock ratio %.6f; heard = render: %lld of %lld samples differ, %lld gaps\n",
           offsets.size(), times.back() - times.front(), mean, percentile(offsets, 0.5), p99,
           percentile(magnitude, 1.0), slope * 60, drift, ends, line.spread * 1000,
           1 / (line.b * RATE), differ, compared, gaps);
    bool ok = true;
    if (limits && !(std::fabs(mean) <= 5 && p99 <= 17 && std::fabs(drift) <= 2)) ok = false;
    if (!std::isnan(within) && !(std::fabs(percentile(offsets, 0.5)) <= within)) ok = false;
    return ok ? 0 : 1;
}
