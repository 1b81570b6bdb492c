// sync_record [--raw-clock] SOURCE OUT.raw OUT.times SECONDS: records a sound server's
// source (a sink's monitor: what left the sink) as 44 100 Hz 16-bit stereo
// into OUT.raw, and after every read writes to OUT.times one line
//
//   FRAMES TIME
//
// saying that the FRAMES-th frame recorded (counted from 0; the last one
// read) left the sink at TIME seconds on the monotonic clock, the clock of
// the programs' --sync-log. TIME is the moment of the read minus the
// latency the server gives for the stream (how long ago the newest frame
// read was played). OUT.times.ready appears once recording runs steadily
// (after 2 s; times before that are left out of the analysis).
//
// --raw-clock: the times on CLOCK_MONOTONIC_RAW instead, the clock that
// Wine's QueryPerformanceCounter (and so the Windows build's steady clock)
// counts; it is off from CLOCK_MONOTONIC by whatever the system clock was
// slewed since boot (150 ms after three hours on one machine).
#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

constexpr long long SETTLE_FRAMES = 2 * 44100;

static bool raw_clock = false;

static double monotonic_seconds() {
    if (raw_clock) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC_RAW, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--raw-clock") == 0) {
        raw_clock = true;
        argc--, argv++;
    }
    if (argc != 5) {
        fprintf(stderr, "usage: sync_record [--raw-clock] SOURCE OUT.raw OUT.times SECONDS\n");
        return 2;
    }
    const double seconds = atof(argv[4]);
    pa_sample_spec format = {PA_SAMPLE_S16LE, 44100, 2};
    // Small fragments: a time for every 5 ms of sound.
    constexpr uint32_t CHUNK_BYTES = 220 * 4;
    pa_buffer_attr attr = {uint32_t(-1), uint32_t(-1), uint32_t(-1), uint32_t(-1), CHUNK_BYTES};
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "sync_record", PA_STREAM_RECORD, argv[1], "record",
                                      &format, nullptr, &attr, &error);
    if (!stream) {
        fprintf(stderr, "sync_record: %s: %s\n", argv[1], pa_strerror(error));
        return 1;
    }
    FILE* raw = fopen(argv[2], "wb");
    FILE* times = fopen(argv[3], "w");
    if (!raw || !times) {
        fprintf(stderr, "sync_record: cannot write the output files\n");
        return 1;
    }
    std::vector<char> chunk(CHUNK_BYTES);
    long long frames = 0;
    const double end = monotonic_seconds() + seconds;
    while (monotonic_seconds() < end) {
        if (pa_simple_read(stream, chunk.data(), chunk.size(), &error) < 0) {
            fprintf(stderr, "sync_record: %s\n", pa_strerror(error));
            return 1;
        }
        const double now = monotonic_seconds();
        const pa_usec_t latency = pa_simple_get_latency(stream, &error);
        fwrite(chunk.data(), 1, chunk.size(), raw);
        frames += static_cast<long long>(chunk.size() / 4);
        fprintf(times, "%lld %.6f\n", frames - 1, now - double(latency) / 1e6);
        // Ready after SETTLE_FRAMES: a new stream's first second or so comes
        // in a burst after a stall, its times are no guide.
        if (frames >= SETTLE_FRAMES &&
            frames - static_cast<long long>(chunk.size() / 4) < SETTLE_FRAMES) {
            fflush(times);
            if (FILE* ready = fopen((std::string(argv[3]) + ".ready").c_str(), "w")) fclose(ready);
        }
    }
    pa_simple_free(stream);
    fclose(raw);
    return fclose(times) == 0 ? 0 : 1;
}
