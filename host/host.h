// The host: start-up, the frame loop, still and capture rendering, and the
// thin platform layer under them (host_sdl.cpp).
//
// Glossary: run time is seconds since the end of start-up; show time is
// seconds since the music started (one blank second later). The screen is
// the 640 x 480 image the show draws; the window may be larger (scaled
// full screen) or absent (off-screen rendering).
#pragma once
#include <vlorp/xm.h>

#include <cstdint>
#include <string>

constexpr double BLANK_PHASE = 1.0; // seconds of cleared frames before the music

constexpr int32_t HOST_FULLSCREEN = 0;
constexpr int32_t HOST_WINDOWED = 1;
constexpr int32_t HOST_OFFSCREEN = 2; // no window; frames are read back

constexpr int32_t HOST_EVENT_NONE = 0;
constexpr int32_t HOST_EVENT_OTHER = 1;
constexpr int32_t HOST_EVENT_QUIT = 2; // Escape key-down or a quit request

// ---- platform layer (host_sdl.cpp, host_win32.cpp) ----
// First thing in main: connects a GUI program's output to its console.
void host_init_process();
// Opens the surface and makes a double-buffered RGBA8, depth 24, stencil 8
// compatibility context current. False with a one-line reason otherwise.
bool host_open_window(int32_t kind, std::string* error);
// Restores the desktop (display mode, cursor) and closes the window.
void host_close_window();
// Handles at most one pending event.
int32_t host_poll_event();
// Seconds from a monotonic high-resolution counter; only differences count.
double clock_seconds();
void host_swap_buffers();
// Address of a GL entry point in the current context, or null.
void* host_gl_proc_address(const char* name);
// The one user-visible message; blocks until dismissed where a desktop exists.
void host_message_box(const char* text);
void host_drawable_size(int32_t* width, int32_t* height);

// ---- portable host (host.cpp) ----
struct HostStats {
    double start_time;       // clock reading at process start
    double start_epoch;      // the same instant in seconds since 1970, for outside timers
    double song_time;        // clock reading when the song was loaded
    double display_time;     // ... when the window system was reached (platform layer)
    double driver_time;      // ... when the GL driver was loaded (platform layer)
    double window_time;      // ... when the window and GL context were ready
    double setup_time;       // ... when the show's resources were built
    double sound_seconds;    // how long starting the music took (device, pre-fill)
    double first_frame_time; // clock reading when the first frame was presented; 0 before
    int64_t frames;          // frames presented
    int64_t show_frames;     // of which drawn by the show
    double show_seconds;     // show time covered by the show frames
};
extern HostStats host_stats;

// Whether the current context has the extension families the show needs;
// a driver without them would hand out entry points that crash when called.
bool host_check_gl_extensions(std::string* error);
// The initial GL state every later drawing relies on.
void host_init_gl_state();
// Decides where the screen image is drawn: straight to the window when the
// window is 640 x 480, else into an off-screen framebuffer that is scaled
// to the window (letterboxed) or read back. Call after show_setup.
void host_screen_setup(int32_t kind);
// Ends every frame: shows it in the window, or reads it back off-screen.
void host_present();
// The last presented off-screen frame, 640 x 480 RGB, top row first.
const uint8_t* host_screen_pixels();
// One cleared light-blue frame of the blank phase.
void host_blank_frame();
// The same picture straight to the window, letterboxed, before the show's
// resources (and the screen's framebuffer) exist: the first frame.
void host_early_blank_frame();
// Loads the embedded module (null on failure).
vlorp_xm_module* host_load_song();
// The live show; returns the exit status. With a path, writes the sync log
// (tools/sync_log.h) there.
int host_main(int32_t kind, bool print_stats, const char* sync_log_path);

// ---- offline rendering (offline.cpp) ----
// Render the frame shown at show time t into a PNG; returns the exit status.
int offline_still(double t, const char* png_path);
// Render the whole run at `fps` into a video file (through ffmpeg) or, when
// `out` names a directory, numbered PNGs and a WAV; returns the exit status.
int offline_capture(const char* out, int32_t fps);
