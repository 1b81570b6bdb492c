// ALSA behind the output driver's device interface. A device thread copies
// the looping ring into the PCM at its own cursor and, after each write,
// asks the PCM how much of what it was given is not yet heard. Through the
// sound servers' ALSA plugins (PulseAudio, PipeWire) that delay covers the
// whole chain: the plugin's buffer, the server's and the sink's. Each
// answer is published as a report: the monotonic time, the frames written,
// and those written minus the delay (the frames heard).
//
// The library is loaded when a device is first opened, not when the
// program starts, so a tool that only renders never needs it, and a
// machine without it still runs the show, silently.
#include "music/engine.h"
#include "music/output_device.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <system_error>
#include <thread>

namespace {

constexpr const char* ALSA_LIBRARY = "libasound.so.2";
// Asked of the PCM: enough to ride out a busy machine, small next to the
// 2 s ring. Whatever it grants is counted, so the exact figure is free.
constexpr unsigned int DEVICE_LATENCY_US = 60000;
constexpr int WAIT_MS = 50; // a device that stops answering is asked again
// A PCM that takes frames faster than it plays them (the null device, a
// file) would have the ring mixed as fast as the machine can: the writer
// keeps to real time since its first write, this much faster (a device
// clock off the system's), beyond the PCM's buffer, a period and
// WRITE_PACE_SLACK seconds (a sound server that lets its own buffer grow
// after it started playing: a real device is never held back).
constexpr double WRITE_PACE_LIMIT = 0.002;
constexpr double WRITE_PACE_SLACK = 0.5;

#define ALSA_CALLS(X)                                                                              \
    X(snd_pcm_open)                                                                                \
    X(snd_pcm_close)                                                                               \
    X(snd_pcm_set_params)                                                                          \
    X(snd_pcm_get_params)                                                                          \
    X(snd_pcm_writei)                                                                              \
    X(snd_pcm_delay)                                                                               \
    X(snd_pcm_recover)                                                                             \
    X(snd_pcm_wait)                                                                                \
    X(snd_pcm_drop)                                                                                \
    X(snd_pcm_prepare)                                                                             \
    X(snd_strerror)                                                                                \
    X(snd_lib_error_set_handler)

struct AlsaCalls {
#define ALSA_CALL_POINTER(name) decltype(&::name) name;
    ALSA_CALLS(ALSA_CALL_POINTER)
#undef ALSA_CALL_POINTER
};

AlsaCalls api;
bool api_loaded;

struct AlsaAudio {
    snd_pcm_t* pcm;
    snd_pcm_uframes_t period; // frames per write
    snd_pcm_uframes_t buffer; // frames the PCM holds
    const int16_t* ring;
    int32_t ring_frames;
    std::thread* writer; // null when not started
    std::atomic<bool> stop_writing;
    ReportSlot latest; // written by the device thread only
    char error[256];
};

AlsaAudio alsa;

// The library reports through this handler besides the return values; the
// caller reports a failure in one line of its own.
void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

bool alsa_load() {
    if (api_loaded) return true;
    void* lib = dlopen(ALSA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        snprintf(alsa.error, sizeof alsa.error, "cannot load %s%s%s", ALSA_LIBRARY, why ? ": " : "",
                 why ? why : "");
        return false;
    }
    bool complete = true;
#define ALSA_CALL_LOAD(name)                                                                       \
    api.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name));                             \
    if (!api.name && complete) {                                                                   \
        snprintf(alsa.error, sizeof alsa.error, "%s lacks %s", ALSA_LIBRARY, #name);               \
        complete = false;                                                                          \
    }
    ALSA_CALLS(ALSA_CALL_LOAD)
#undef ALSA_CALL_LOAD
    if (!complete) {
        dlclose(lib);
        return false;
    }
    api.snd_lib_error_set_handler(alsa_quiet);
    api_loaded = true;
    return true;
}

void alsa_publish(int64_t written, snd_pcm_sframes_t delay) {
    if (delay < 0) delay = 0;
    if (delay > written) delay = written;
    output_report_store(&alsa.latest,
                        OutputReport{output_clock_seconds(), written - delay, written});
}

// Waits (at most WAIT_MS) while more was written than a device playing
// in real time since `first_write` can hold; true if it waited. A real
// device makes the writer wait for room long before.
bool alsa_keep_pace(double first_write, int64_t written) {
    const double held = double(alsa.buffer + alsa.period) + WRITE_PACE_SLACK * MIX_RATE;
    const double due = first_write + (double(written) - held) / (MIX_RATE * (1 + WRITE_PACE_LIMIT));
    const double wait = due - output_clock_seconds();
    if (wait <= 0) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(wait, WAIT_MS / 1000.0)));
    return true;
}

// Writes the ring period by period while the PCM has room, and reports
// after every write. It waits for room at most WAIT_MS, so a stop is seen
// promptly and the PCM is only ever touched by one thread at a time.
void alsa_writer_main() {
    int32_t cursor = 0;
    int64_t written = 0;
    double first_write = 0;
    while (!alsa.stop_writing.load(std::memory_order_acquire)) {
        if (written > 0 && alsa_keep_pace(first_write, written)) continue;
        const int ready = api.snd_pcm_wait(alsa.pcm, WAIT_MS);
        if (ready == 0) continue;
        if (ready < 0 && api.snd_pcm_recover(alsa.pcm, ready, 1) < 0) {
            // Gone (unplugged, server ended): the position stays where it
            // is; try again now and then.
            std::this_thread::sleep_for(std::chrono::milliseconds(WAIT_MS));
            api.snd_pcm_prepare(alsa.pcm);
            continue;
        }
        output_ring_published.load(std::memory_order_acquire);
        snd_pcm_uframes_t n = alsa.period;
        if (n > snd_pcm_uframes_t(alsa.ring_frames - cursor))
            n = snd_pcm_uframes_t(alsa.ring_frames - cursor);
        snd_pcm_sframes_t done = api.snd_pcm_writei(alsa.pcm, alsa.ring + size_t(cursor) * 2, n);
        if (done < 0) {
            api.snd_pcm_recover(alsa.pcm, int(done), 1);
            continue;
        }
        if (written == 0) first_write = output_clock_seconds();
        cursor += int32_t(done);
        if (cursor == alsa.ring_frames) cursor = 0;
        written += done;
        // A delay the PCM cannot tell yet (a server stream still starting)
        // is no report: the last one stands.
        snd_pcm_sframes_t delay = 0;
        if (api.snd_pcm_delay(alsa.pcm, &delay) >= 0) alsa_publish(written, delay);
    }
}

bool alsa_open() {
    alsa.error[0] = 0;
    if (!alsa_load()) return false;
    int err = api.snd_pcm_open(&alsa.pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        snprintf(alsa.error, sizeof alsa.error, "ALSA's default device: %s", api.snd_strerror(err));
        alsa.pcm = nullptr;
        return false;
    }
    // Resampling allowed: the engine always renders 44 100 Hz 16-bit stereo.
    err = api.snd_pcm_set_params(alsa.pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                 MIX_RATE, 1, DEVICE_LATENCY_US);
    snd_pcm_uframes_t buffer = 0;
    if (err >= 0) err = api.snd_pcm_get_params(alsa.pcm, &buffer, &alsa.period);
    if (err < 0) {
        snprintf(alsa.error, sizeof alsa.error,
                 "ALSA's default device refuses 44 100 Hz stereo: %s", api.snd_strerror(err));
        api.snd_pcm_close(alsa.pcm);
        alsa.pcm = nullptr;
        return false;
    }
    if (alsa.period == 0 || alsa.period > buffer / 2) alsa.period = buffer / 2 ? buffer / 2 : 256;
    alsa.buffer = buffer;
    return true;
}

void alsa_start(const int16_t* ring, int32_t ring_frames) {
    alsa.ring = ring;
    alsa.ring_frames = ring_frames;
    alsa_publish(0, 0);
    alsa.stop_writing.store(false, std::memory_order_release);
    try {
        alsa.writer = new std::thread(alsa_writer_main);
    } catch (const std::system_error&) {
        alsa.writer = nullptr; // nothing plays; the position stays at 0
        return;
    }
    // Best effort: a writer that waits for the scheduler is an underrun.
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(alsa.writer->native_handle(), SCHED_FIFO, &param);
}

bool alsa_report(OutputReport* report) {
    *report = output_report_load(&alsa.latest);
    return true;
}

int64_t alsa_played_frames() {
    return output_report_load(&alsa.latest).played;
}

void alsa_reset() {
    alsa.stop_writing.store(true, std::memory_order_release);
    if (alsa.writer) {
        alsa.writer->join();
        delete alsa.writer;
        alsa.writer = nullptr;
    }
    api.snd_pcm_drop(alsa.pcm);
    alsa.ring = nullptr;
}

void alsa_close() {
    if (alsa.pcm) api.snd_pcm_close(alsa.pcm);
    alsa.pcm = nullptr;
}

void alsa_promote_thread() {
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); // best effort
}

const char* alsa_error() {
    return alsa.error;
}

const OutputDevice ALSA_DEVICE = {alsa_open,  alsa_start,          alsa_played_frames, alsa_reset,
                                  alsa_close, alsa_promote_thread, alsa_error,         alsa_report};

} // namespace

const OutputDevice* output_platform_device() {
    return &ALSA_DEVICE;
}
