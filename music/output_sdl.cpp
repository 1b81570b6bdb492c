// SDL2 audio behind the output driver's device interface. The audio
// callback copies from the looping ring at its own cursor and counts the
// frames it hands out; the play position is that count minus what the
// device still holds, so it tracks what is heard and never wraps.
//
// The library is loaded when a device is first opened, not when the
// program starts: SDL2 pulls in some forty libraries (X11, Wayland, the
// sound servers), and a tool that only renders or reads a module must not
// pay for them. A program that links SDL2 itself gets the copy it has.
#include "music/engine.h"
#include "music/output_device.h"

#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace {

constexpr const char* SDL_LIBRARY = "libSDL2-2.0.so.0";

// The SDL2 calls this backend makes: name and type, fetched by name.
#define SDL_CALLS(X)                                                                               \
    X(SDL_InitSubSystem)                                                                           \
    X(SDL_QuitSubSystem)                                                                           \
    X(SDL_GetError)                                                                                \
    X(SDL_OpenAudioDevice)                                                                         \
    X(SDL_CloseAudioDevice)                                                                        \
    X(SDL_PauseAudioDevice)                                                                        \
    X(SDL_LockAudioDevice)                                                                         \
    X(SDL_UnlockAudioDevice)                                                                       \
    X(SDL_SetThreadPriority)

struct SdlCalls {
#define SDL_CALL_POINTER(name) decltype(&::name) name;
    SDL_CALLS(SDL_CALL_POINTER)
#undef SDL_CALL_POINTER
};

SdlCalls api;
bool api_loaded;

constexpr int DEVICE_BUFFER_FRAMES = 1024; // small: the ring does the buffering

struct SdlAudio {
    SDL_AudioDeviceID device;
    int32_t device_frames; // frames the device buffers beyond the callback
    const int16_t* ring;
    int32_t ring_frames;
    int32_t cursor; // callback thread only
    std::atomic<int64_t> handed_out;
    char error[256];
};

SdlAudio sdl;

void SDLCALL sdl_callback(void*, Uint8* stream, int len) {
    output_ring_published.load(std::memory_order_acquire);
    int32_t frames = len / 4;
    int16_t* dst = reinterpret_cast<int16_t*>(stream);
    if (!sdl.ring) {
        memset(stream, 0, size_t(len));
        return;
    }
    for (int32_t left = frames; left > 0;) {
        int32_t n = sdl.ring_frames - sdl.cursor;
        if (n > left) n = left;
        memcpy(dst, sdl.ring + size_t(sdl.cursor) * 2, size_t(n) * 4);
        dst += 2 * n;
        left -= n;
        sdl.cursor += n;
        if (sdl.cursor == sdl.ring_frames) sdl.cursor = 0;
    }
    sdl.handed_out.fetch_add(frames, std::memory_order_release);
}

// Audio libraries print their own diagnostics while they probe for a device
// (eight lines where there is no sound card); the caller reports the failure
// in one line of its own, so standard error is closed to them meanwhile.
struct QuietStderr {
    int saved;
};

QuietStderr stderr_quiet() {
    fflush(stderr);
    QuietStderr q = {dup(2)};
    const int null = open("/dev/null", O_WRONLY);
    if (q.saved >= 0 && null >= 0) dup2(null, 2);
    if (null >= 0) close(null);
    return q;
}

void stderr_restore(QuietStderr q) {
    if (q.saved < 0) return;
    dup2(q.saved, 2);
    close(q.saved);
}

// Loads SDL2 and its calls once; false (with the reason in sdl.error) if
// the library or one of the calls is missing. It stays loaded until exit.
bool sdl_load() {
    if (api_loaded) return true;
    // A program linked with SDL2 already has it: use that copy, never a second.
    // (RTLD_DEFAULT is a null handle, so success is told apart by the lookup.)
    const bool linked = dlsym(RTLD_DEFAULT, "SDL_InitSubSystem") != nullptr;
    void* lib = linked ? RTLD_DEFAULT : dlopen(SDL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!linked && !lib) {
        const char* why = dlerror();
        snprintf(sdl.error, sizeof sdl.error, "cannot load %s%s%s", SDL_LIBRARY, why ? ": " : "",
                 why ? why : "");
        return false;
    }
    bool complete = true;
#define SDL_CALL_LOAD(name)                                                                        \
    api.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name));                             \
    if (!api.name && complete) {                                                                   \
        snprintf(sdl.error, sizeof sdl.error, "%s lacks %s", SDL_LIBRARY, #name);                  \
        complete = false;                                                                          \
    }
    SDL_CALLS(SDL_CALL_LOAD)
#undef SDL_CALL_LOAD
    if (!complete) {
        if (!linked) dlclose(lib);
        return false;
    }
    api_loaded = true;
    return true;
}

bool sdl_open_device() {
    if (api.SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        snprintf(sdl.error, sizeof sdl.error, "%s", api.SDL_GetError());
        return false;
    }
    SDL_AudioSpec want{}, have{};
    want.freq = MIX_RATE;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = DEVICE_BUFFER_FRAMES;
    want.callback = sdl_callback;
    // No changes allowed: SDL converts if the hardware differs, the engine
    // always renders 44 100 Hz 16-bit stereo.
    sdl.device = api.SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (sdl.device == 0) {
        snprintf(sdl.error, sizeof sdl.error, "%s", api.SDL_GetError());
        api.SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    sdl.device_frames = have.samples;
    sdl.ring = nullptr;
    return true;
}

bool sdl_open() {
    sdl.error[0] = 0;
    if (!sdl_load()) return false;
    const QuietStderr quiet = stderr_quiet();
    const bool ok = sdl_open_device();
    stderr_restore(quiet);
    return ok;
}

void sdl_start(const int16_t* ring, int32_t ring_frames) {
    api.SDL_LockAudioDevice(sdl.device);
    sdl.ring = ring;
    sdl.ring_frames = ring_frames;
    sdl.cursor = 0;
    sdl.handed_out.store(0, std::memory_order_release);
    api.SDL_UnlockAudioDevice(sdl.device);
    api.SDL_PauseAudioDevice(sdl.device, 0);
}

int64_t sdl_played_frames() {
    int64_t played = sdl.handed_out.load(std::memory_order_acquire) - sdl.device_frames;
    return played < 0 ? 0 : played;
}

void sdl_reset() {
    api.SDL_PauseAudioDevice(sdl.device, 1);
    api.SDL_LockAudioDevice(sdl.device); // waits for a running callback
    sdl.ring = nullptr;
    api.SDL_UnlockAudioDevice(sdl.device);
}

void sdl_close() {
    api.SDL_CloseAudioDevice(sdl.device);
    sdl.device = 0;
    api.SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void sdl_promote_thread() {
    api.SDL_SetThreadPriority(SDL_THREAD_PRIORITY_TIME_CRITICAL); // best effort
}

const char* sdl_error() {
    return sdl.error;
}

const OutputDevice SDL_DEVICE = {sdl_open,  sdl_start,          sdl_played_frames, sdl_reset,
                                 sdl_close, sdl_promote_thread, sdl_error};

} // namespace

const OutputDevice* output_platform_device() {
    return &SDL_DEVICE;
}
