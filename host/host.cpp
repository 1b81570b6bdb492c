// Start-up, the frame loop with its blank second, and where the screen
// image goes: straight to the window, scaled into a larger window, or read
// back for stills and capture.
#include "host/host.h"
#include "host/show_clock.h"
#include "assets/assets.h"
#include "gfx/gl.h"
#include "gfx/render_target.h"
#include "show/show.h"
#include "tools/sync_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

HostStats host_stats;

static struct {
    int32_t kind;
    uint32_t screen_fbo; // 0 when the show draws straight to the window
    uint32_t screen_colour;
    uint32_t screen_depth;
    PFNGLBLITFRAMEBUFFEREXTPROC blit;
    std::vector<uint8_t> pixels; // last read-back frame, RGB, top row first
    std::vector<uint8_t> rows;   // glReadPixels' bottom-up rows
} screen;

bool host_check_gl_extensions(std::string* error) {
    const char* list = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    for (const char* need : {"GL_ARB_shader_objects", "GL_EXT_framebuffer_object"}) {
        bool found = false;
        const size_t length = strlen(need);
        for (const char* at = list; at && (at = strstr(at, need)); at += length)
            if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == 0))
                found = true;
        if (!found) {
            *error = std::string("the OpenGL driver lacks ") + need;
            return false;
        }
    }
    return true;
}

void host_init_gl_state() {
    glViewport(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, double(1.33f), 0.1, 100.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glShadeModel(GL_SMOOTH);
    glClearColor(0.5f, 0.6f, 1.0f, 0.0f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
}

void host_screen_setup(int32_t kind) {
    screen.kind = kind;
    int32_t width = 0, height = 0;
    if (kind != HOST_OFFSCREEN) host_drawable_size(&width, &height);
    if (kind != HOST_OFFSCREEN && width == SCREEN_WIDTH && height == SCREEN_HEIGHT) return;

    screen.blit =
        reinterpret_cast<PFNGLBLITFRAMEBUFFEREXTPROC>(host_gl_proc_address("glBlitFramebufferEXT"));
    glGenFramebuffersEXT(1, &screen.screen_fbo);
    glGenRenderbuffersEXT(1, &screen.screen_colour);
    glGenRenderbuffersEXT(1, &screen.screen_depth);
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, screen.screen_colour);
    glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, GL_RGBA8, SCREEN_WIDTH, SCREEN_HEIGHT);
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, screen.screen_depth);
    glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, GL_DEPTH24_STENCIL8_EXT, SCREEN_WIDTH,
                             SCREEN_HEIGHT);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, screen.screen_fbo);
    glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_RENDERBUFFER_EXT,
                                 screen.screen_colour);
    glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_DEPTH_ATTACHMENT_EXT, GL_RENDERBUFFER_EXT,
                                 screen.screen_depth);
    glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_STENCIL_ATTACHMENT_EXT, GL_RENDERBUFFER_EXT,
                                 screen.screen_depth);
    render_target_screen = screen.screen_fbo;
    glViewport(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT);
    screen.pixels.assign(size_t(SCREEN_WIDTH) * SCREEN_HEIGHT * 3, 0);
    screen.rows.assign(screen.pixels.size(), 0);
}

const uint8_t* host_screen_pixels() {
    return screen.pixels.data();
}

static void read_back_screen() {
    const size_t stride = size_t(SCREEN_WIDTH) * 3;
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT, GL_RGB, GL_UNSIGNED_BYTE, screen.rows.data());
    for (int32_t y = 0; y < SCREEN_HEIGHT; y++)
        std::copy_n(screen.rows.data() + size_t(SCREEN_HEIGHT - 1 - y) * stride, stride,
                    screen.pixels.data() + size_t(y) * stride);
}

// Scales the screen image into the window, keeping 4:3, black around it.
static void blit_to_window() {
    int32_t width = 0, height = 0;
    host_drawable_size(&width, &height);
    const double scale = std::min(double(width) / SCREEN_WIDTH, double(height) / SCREEN_HEIGHT);
    const int32_t w = int32_t(SCREEN_WIDTH * scale), h = int32_t(SCREEN_HEIGHT * scale);
    const int32_t x = (width - w) / 2, y = (height - h) / 2;
    GLfloat clear[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glViewport(0, 0, width, height);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, screen.screen_fbo);
    if (screen.blit)
        screen.blit(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT, x, y, x + w, y + h, GL_COLOR_BUFFER_BIT,
                    GL_LINEAR);
}

void host_present() {
    host_stats.frames++;
    if (host_stats.frames == 1) host_stats.first_frame_time = clock_seconds();
    if (screen.kind == HOST_OFFSCREEN) {
        read_back_screen();
        return;
    }
    if (screen.screen_fbo) blit_to_window();
    host_swap_buffers();
    if (screen.screen_fbo) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, screen.screen_fbo);
        glViewport(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT);
    }
}

void host_blank_frame() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    host_present();
}

void host_early_blank_frame() {
    int32_t width = 0, height = 0;
    host_drawable_size(&width, &height);
    const double scale = std::min(double(width) / SCREEN_WIDTH, double(height) / SCREEN_HEIGHT);
    const int32_t w = int32_t(SCREEN_WIDTH * scale), h = int32_t(SCREEN_HEIGHT * scale);
    GLfloat clear[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    glViewport(0, 0, width, height);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_SCISSOR_TEST);
    glScissor((width - w) / 2, (height - h) / 2, w, h);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
    glViewport(0, 0, SCREEN_WIDTH, SCREEN_HEIGHT);
    host_present();
}

vlorp_xm_module* host_load_song() {
    vlorp_xm_module* song = nullptr;
    vlorp_xm_load_memory(embedded_module, embedded_module_size, &song);
    return song;
}

// The music starts after the blank second; a missing device leaves the
// show silent, on the host's clock.
static void host_start_music(vlorp_xm_module* song, ShowClock* show_clock) {
    const double asked = clock_seconds();
    if (song && vlorp_xm_play(song) != VLORP_XM_OK)
        fprintf(stderr, "vlorp: no audio device (%s); the show runs without sound\n",
                vlorp_xm_device_error());
    host_stats.sound_seconds = clock_seconds() - asked;
    show_clock_start(show_clock, vlorp_xm_clock());
}

// One frame of the show at what is heard when it appears; its show time, or
// SHOW_LENGTH and nothing drawn once the show is over.
static double host_show_frame(ShowClock* show_clock, vlorp_xm_module* song, SyncLog* sync_log) {
    const double asked = vlorp_xm_clock();
    const ShowFrameTime frame = show_clock_frame(show_clock, song, asked);
    const double elapsed = frame.show_time;
    if (elapsed >= SHOW_LENGTH) return elapsed;
    show_frame(elapsed, frame.order, frame.row);
    host_present();
    const double shown = vlorp_xm_clock();
    show_clock_shown(show_clock, asked, shown);
    sync_log_write(sync_log, shown, frame.heard.frames, frame.heard.delay_frames, frame.heard.order,
                   frame.heard.row, elapsed, show_clock->audio);
    host_stats.show_frames++;
    host_stats.show_seconds = elapsed;
    return elapsed;
}

// The blank second runs on the host's clock; from the start of the music
// the show time comes from the show clock (the audio clock when a device
// plays), and the show ends when it reaches SHOW_LENGTH.
static void host_run_show(vlorp_xm_module* song, SyncLog* sync_log) {
    double clock_base = clock_seconds();
    double elapsed = 0;
    bool playing = false;
    ShowClock show_clock = {};
    while (elapsed < SHOW_LENGTH) {
        if (host_poll_event() == HOST_EVENT_QUIT) break;
        if (playing) {
            elapsed = host_show_frame(&show_clock, song, sync_log);
        } else if (clock_seconds() - clock_base < BLANK_PHASE) {
            host_blank_frame();
        } else {
            host_start_music(song, &show_clock);
            playing = true;
        }
    }
}

static void host_print_stats() {
    const HostStats& h = host_stats;
    fprintf(stderr, "vlorp: %.3f s from start to the first frame\n",
            h.first_frame_time - h.start_time);
    fprintf(stderr,
            "vlorp: start-up, ms after main: song loaded %.1f, display open %.1f, GL driver "
            "%.1f, window and context %.1f, first frame %.1f, resources built %.1f; after the "
            "blank second the music started in %.1f (main entered at %.6f s since 1970)\n",
            1e3 * (h.song_time - h.start_time), 1e3 * (h.display_time - h.start_time),
            1e3 * (h.driver_time - h.start_time), 1e3 * (h.window_time - h.start_time),
            1e3 * (h.first_frame_time - h.start_time), 1e3 * (h.setup_time - h.start_time),
            1e3 * h.sound_seconds, h.start_epoch);
    if (h.show_frames > 0 && h.show_seconds > 0)
        fprintf(stderr, "vlorp: %lld show frames in %.1f s, %.1f frames per second\n",
                (long long)h.show_frames, h.show_seconds, double(h.show_frames) / h.show_seconds);
}

int host_main(int32_t kind, bool print_stats, const char* sync_log_path) {
    SyncLog sync_log = {};
    std::string error;
    if (!sync_log_open(&sync_log, sync_log_path, &error)) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        return 1;
    }
    vlorp_xm_module* song = host_load_song();
    host_stats.song_time = clock_seconds();
    if (!host_open_window(kind, &error)) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        host_close_window();
        if (song) vlorp_xm_free(song);
        sync_log_discard(&sync_log);
        return 1;
    }
    host_stats.window_time = clock_seconds();
    // The blank phase's picture needs none of the show's resources: show it
    // now, before they are built, so the window is never empty.
    host_early_blank_frame();
    show_setup();
    host_screen_setup(kind);
    host_stats.setup_time = clock_seconds();

    host_run_show(song, &sync_log);
    if (print_stats) host_print_stats();
    // Stop the sound before the window goes, and give the desktop back.
    if (song) {
        vlorp_xm_stop(song);
        vlorp_xm_free(song);
    }
    host_close_window();
    if (!sync_log_close(&sync_log, &error)) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
