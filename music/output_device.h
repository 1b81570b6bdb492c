// The audio device behind the output driver: plays one looping buffer of
// interleaved 16-bit stereo frames at MIX_RATE and reports how far it got.
// One implementation per platform (output_sdl.cpp); tests supply their own.
#pragma once
#include <atomic>
#include <cstdint>

// What a device knows of its position, measured at one instant: `played`
// frames have been heard (written minus the device's whole delay) out of
// `written` handed to it, at `time` on the engine's monotonic clock.
struct OutputReport {
    double time;
    int64_t played;
    int64_t written;
};

struct OutputDevice {
    // Opens the default device for MIX_RATE, 16-bit, stereo. False if none.
    bool (*open)();
    // Starts playing `ring` (ring_frames frames) from frame 0, looping forever.
    void (*start)(const int16_t* ring, int32_t ring_frames);
    // Frames played since start, as heard; never wraps.
    int64_t (*played_frames)();
    // Stops playing and lets go of the ring.
    void (*reset)();
    void (*close)();
    // Optional: called on the mixing thread once, to raise its priority.
    void (*promote_thread)();
    // Optional: why the last open failed.
    const char* (*error)();
    // Optional: the latest report, from any thread. Without it the driver
    // reads played_frames on its mixing thread and stamps the time itself.
    bool (*report)(OutputReport* report);
};

// The engine's monotonic clock in seconds (steady clock); only differences
// count. Tests put a clock of their own in its place (null: the real one).
double output_clock_seconds();
void output_set_clock(double (*clock)());

// The latest report, handed from one writing thread to readers without a
// lock: `sequence` is odd while the fields change, and a reader that sees
// it change reads again. Every access is sequentially consistent, which
// makes that sound without fences (which the thread sanitizer cannot check).
struct ReportSlot {
    std::atomic<uint32_t> sequence;
    std::atomic<double> time;
    std::atomic<int64_t> played;
    std::atomic<int64_t> written;
};
inline void output_report_store(ReportSlot* slot, const OutputReport& report) {
    const uint32_t s = slot->sequence.load();
    slot->sequence.store(s + 1);
    slot->time.store(report.time);
    slot->played.store(report.played);
    slot->written.store(report.written);
    slot->sequence.store(s + 2);
}
inline OutputReport output_report_load(const ReportSlot* slot) {
    for (;;) {
        const uint32_t s = slot->sequence.load();
        OutputReport report = {slot->time.load(), slot->played.load(), slot->written.load()};
        if (!(s & 1) && slot->sequence.load() == s) return report;
    }
}

// A device's 32-bit position count (waveOut's wraps after about 27 hours)
// made into a 64-bit one: each reading adds the step since the last, taken
// as a signed 32-bit difference, so a wrap is just another step forward and
// a count that drops back (waveOut's, at an underrun) a step back, not a
// wrap 27 hours on. Read at least once per 2^31 counts. The total is
// modulo 2^64: a step back below the start reads as negative as int64_t.
struct CountUnwrap {
    uint32_t last;
    uint64_t total;
};
inline uint64_t output_unwrap_count(CountUnwrap* unwrap, uint32_t count) {
    unwrap->total += uint64_t(int64_t(int32_t(count - unwrap->last)));
    unwrap->last = count;
    return unwrap->total;
}

// A device without reports of its own is polled, and its count may move in
// steps (Wine's waveOut: 10 or 20 ms at a time). A poll sees a step up to a
// poll interval after it happened, later still on a busy machine, so a
// count stamped with the time of the poll reads that much behind. Each
// count read at `time` says the device had played at least that much by
// then, and so, at real time, at least count + (now - time) * MIX_RATE
// now: the highest of these over the last POLL_WINDOW polls that saw the
// count move is the tightest bound, and the count is stamped with the time
// that bound reached it. A running device's count lags the bound by less than one step; one
// that lags by more (plus POLL_SKEW for a device clock off the system's)
// has stalled or lost sound, and one that drops back has lost sound: either
// starts the bound afresh.
constexpr int32_t POLL_WINDOW = 64;      // moves: 0.3 s to 1.3 s at every 5 to 20 ms
constexpr double POLL_SKEW = 0.001;      // seconds
constexpr double POLL_STEP_LIMIT = 0.03; // seconds: the step taken before one is seen
struct PollStamp {
    double ahead[POLL_WINDOW]; // count / MIX_RATE - time, seconds, of each move kept
    int32_t next;              // where the next poll goes
    int32_t kept;              // moves kept, up to POLL_WINDOW
    int64_t count;             // the count last read
    int64_t step;              // the smallest move of the count since the bound started; 0: none
};
// The time the device reached `count`, read at `time` (read the count first:
// a count read after its time would not be a bound). A count of 0 or less
// bounds nothing and is stamped as read.
double output_stamp_poll(PollStamp* stamp, double time, int64_t count);

// The platform's device (ALSA on Linux, waveOut on Windows).
const OutputDevice* output_platform_device();

// The driver adds one after each block it writes into the ring (release); a
// device thread that copies from the ring loads it first (acquire) so that
// it sees every block written before.
extern std::atomic<uint32_t> output_ring_published;
