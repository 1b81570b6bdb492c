// WinMM waveOut behind the output driver's device interface: the default
// device plays the whole ring as one looping buffer, prepared and written
// once; the driver refills blocks behind the play cursor in place.
//
// Glossary:
//   count      the device's own play position, a 32-bit sample (or byte)
//              count that wraps after about 27 hours (6.8 in bytes)
//   played     the count unwrapped into 64 bits: frames since start
//   held       frames the count runs ahead of the sound (see WINE_HELD_FRAMES)
#include "music/engine.h"
#include "music/output_device.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cstdio>
#include <cstring>

namespace {

// Wine's waveOut counts a frame as played long before it is heard (its
// first count, a moment after the start, is already 100 ms: its own buffer
// in front of the sound server), and waveOut has no call that says by how
// much. Measured through Wine's PulseAudio driver, 20 s runs on a quiet
// machine, with each count stamped when it was reached (not when a poll saw
// it), the count ran 91 to 96 ms ahead of the sound, steady within a run,
// with the server's latency at 30 ms and at 150 ms alike. On a busy
// machine, where Wine cannot keep its buffer full (and the sound breaks
// up), as little as 25 ms. Windows itself counts at the audio engine.
// Under Wine the count is held back by the quiet machine's lead.
constexpr int64_t WINE_HELD_FRAMES = MIX_RATE * 95 / 1000;

struct WaveOut {
    HWAVEOUT device; // null when closed
    WAVEHDR header;
    bool header_prepared;
    bool timer_raised;
    CountUnwrap played; // only the mixing thread reads the position
    uint32_t per_frame; // 1 while the device counts samples, 4 for bytes
    int64_t held;       // frames
    char error[256];
};

WaveOut wave;

bool waveout_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool waveout_open() {
    wave.error[0] = 0;
    WAVEFORMATEX format;
    memset(&format, 0, sizeof format);
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = MIX_RATE;
    format.nAvgBytesPerSec = MIX_RATE * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    const MMRESULT result = waveOutOpen(&wave.device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR) {
        wave.device = nullptr;
        char text[MAXERRORLENGTH] = "";
        waveOutGetErrorTextA(result, text, sizeof text);
        snprintf(wave.error, sizeof wave.error, "the default waveOut device does not open (%u%s%s)",
                 unsigned(result), *text ? ": " : "", text);
        return false;
    }
    // The mixing thread polls every 5 ms; the default timer tick is 15.6 ms.
    wave.timer_raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    wave.held = waveout_under_wine() ? WINE_HELD_FRAMES : 0;
    return true;
}

void waveout_start(const int16_t* ring, int32_t ring_frames) {
    memset(&wave.header, 0, sizeof wave.header);
    // The device only reads the buffer; WAVEHDR has no const pointer.
    wave.header.lpData = reinterpret_cast<LPSTR>(const_cast<int16_t*>(ring));
    wave.header.dwBufferLength = DWORD(ring_frames) * 4;
    wave.header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    wave.header.dwLoops = 0xFFFFFFFFu; // forever
    wave.header_prepared =
        waveOutPrepareHeader(wave.device, &wave.header, sizeof wave.header) == MMSYSERR_NOERROR;
    wave.played = CountUnwrap{0, 0};
    wave.per_frame = 1;
    waveOutWrite(wave.device, &wave.header, sizeof wave.header);
}

int64_t waveout_played_frames() {
    MMTIME time;
    memset(&time, 0, sizeof time);
    time.wType = TIME_SAMPLES;
    if (waveOutGetPosition(wave.device, &time, sizeof time) == MMSYSERR_NOERROR) {
        // A device that cannot count samples answers in bytes; both wrap at 2^32.
        if (time.wType == TIME_SAMPLES) {
            wave.per_frame = 1;
            output_unwrap_count(&wave.played, time.u.sample);
        } else if (time.wType == TIME_BYTES) {
            wave.per_frame = 4;
            output_unwrap_count(&wave.played, time.u.cb);
        }
    }
    const int64_t counted = int64_t(wave.played.total) / wave.per_frame;
    return counted > wave.held ? counted - wave.held : 0;
}

void waveout_reset() {
    waveOutReset(wave.device);
    if (wave.header_prepared) waveOutUnprepareHeader(wave.device, &wave.header, sizeof wave.header);
    wave.header_prepared = false;
    wave.header.lpData = nullptr;
}

void waveout_close() {
    if (wave.device) waveOutClose(wave.device);
    wave.device = nullptr;
    if (wave.timer_raised) timeEndPeriod(1);
    wave.timer_raised = false;
}

void waveout_promote_thread() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

const char* waveout_error() {
    return wave.error;
}

const OutputDevice WAVEOUT_DEVICE = {waveout_open,  waveout_start, waveout_played_frames,
                                     waveout_reset, waveout_close, waveout_promote_thread,
                                     waveout_error, nullptr};

} // namespace

const OutputDevice* output_platform_device() {
    return &WAVEOUT_DEVICE;
}
