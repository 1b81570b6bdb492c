// Platform layer on SDL2: window or off-screen surface, GL context, events,
// clock, message box. Everything above it is portable.
#include "gfx/platform.h"
#include "host/host.h"

#include <GL/gl.h>
#include <SDL.h>
#include <SDL_syswm.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static struct {
    SDL_Window* window;
    SDL_GLContext context;
    bool video_started;
} sdl;

constexpr const char* NO_DISPLAY =
    "no display available; render the show to a video instead: vlorp --capture vlorp.mp4";

static bool has_env(const char* name) {
    const char* value = getenv(name);
    return value && *value;
}

static bool start_video(const char* driver) {
    if (driver) SDL_SetHint(SDL_HINT_VIDEODRIVER, driver);
    sdl.video_started = SDL_Init(SDL_INIT_VIDEO) == 0;
    return sdl.video_started;
}

static void request_gl_attributes() {
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
}

static bool make_context(std::string* error) {
    sdl.context = SDL_GL_CreateContext(sdl.window);
    if (!sdl.context) {
        *error = std::string("cannot create an OpenGL context: ") + SDL_GetError();
        return false;
    }
    SDL_GL_MakeCurrent(sdl.window, sdl.context);
    return true;
}

static bool open_offscreen(std::string* error) {
    // The off-screen driver renders through EGL with no display server at
    // all; where it is missing a hidden window on the desktop serves.
    if (!has_env("SDL_VIDEODRIVER") && start_video("offscreen")) {
        request_gl_attributes();
        sdl.window = SDL_CreateWindow("vlorp", 0, 0, SCREEN_WIDTH, SCREEN_HEIGHT,
                                      SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
        if (sdl.window) {
            sdl.context = SDL_GL_CreateContext(sdl.window);
            if (sdl.context) return true;
            SDL_DestroyWindow(sdl.window);
            sdl.window = nullptr;
        }
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "");
    }
    if (!start_video(nullptr)) {
        *error = std::string("cannot render off-screen: ") + SDL_GetError();
        return false;
    }
    request_gl_attributes();
    sdl.window = SDL_CreateWindow("vlorp", 0, 0, SCREEN_WIDTH, SCREEN_HEIGHT,
                                  SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (!sdl.window) {
        *error = std::string("cannot render off-screen: ") + SDL_GetError();
        return false;
    }
    if (!make_context(error)) return false;
    SDL_GL_SetSwapInterval(0);
    return true;
}

// Whether the window's X display has no window manager: the root window
// names none. False on other systems and wherever one cannot tell.
static bool x11_without_window_manager(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return false;
    Display* display = info.info.x11.display;
    // Only looked up, never created: a display no manager ever ran on lacks the name.
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None) return true;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* value = nullptr;
    const int status = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False,
                                          XA_WINDOW, &type, &format, &count, &after, &value);
    if (value) XFree(value);
    return status == Success && count == 0;
}

// Shows the full-screen window made hidden. With no window manager the
// window, borderless at the origin with the desktop's size, already covers
// the screen, and asking SDL for full screen there only makes it wait in
// vain (about 100 ms) for a manager to answer: so it is shown as it is and
// given the keyboard itself.
static void show_fullscreen(bool real_mode) {
    if (!real_mode && x11_without_window_manager(sdl.window)) {
        SDL_SetWindowFullscreen(sdl.window, 0);
        SDL_ShowWindow(sdl.window);
        SDL_SetWindowInputFocus(sdl.window);
        return;
    }
    SDL_ShowWindow(sdl.window);
}

void host_init_process() {}

bool host_open_window(int32_t kind, std::string* error) {
    if (kind == HOST_OFFSCREEN) {
        if (!open_offscreen(error) || !host_check_gl_extensions(error)) return false;
        host_init_gl_state();
        return true;
    }

    // With no display server named, only a console (KMS) display could
    // work; asking for it alone keeps SDL from probing and complaining.
    const bool named =
        has_env("SDL_VIDEODRIVER") || has_env("DISPLAY") || has_env("WAYLAND_DISPLAY");
    if (!start_video(named ? nullptr : "kmsdrm")) {
        *error = NO_DISPLAY;
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || !strcmp(driver, "offscreen") || !strcmp(driver, "dummy")) {
        *error = NO_DISPLAY;
        return false;
    }
    host_stats.display_time = clock_seconds();
    request_gl_attributes();
    // Loaded here, as the window's creation would, only to time it apart;
    // a failure shows there, with SDL's reason.
    SDL_GL_LoadLibrary(nullptr);
    host_stats.driver_time = clock_seconds();

    if (kind == HOST_WINDOWED) {
        sdl.window = SDL_CreateWindow("vlorp", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                      SCREEN_WIDTH, SCREEN_HEIGHT, SDL_WINDOW_OPENGL);
    } else {
        // A real 640 x 480 mode where the display offers one; otherwise the
        // desktop stays as it is and the image is scaled to it.
        SDL_DisplayMode want = {SDL_PIXELFORMAT_RGB888, SCREEN_WIDTH, SCREEN_HEIGHT, 0, nullptr};
        SDL_DisplayMode mode;
        const bool real_mode = SDL_GetClosestDisplayMode(0, &want, &mode) &&
                               mode.w == SCREEN_WIDTH && mode.h == SCREEN_HEIGHT;
        // Full screen from creation: a window made full screen later is
        // resized only by a window manager, and there may be none.
        const uint32_t fullscreen =
            real_mode ? SDL_WINDOW_FULLSCREEN : SDL_WINDOW_FULLSCREEN_DESKTOP;
        SDL_DisplayMode desktop = {0, SCREEN_WIDTH, SCREEN_HEIGHT, 0, nullptr};
        if (!real_mode) SDL_GetDesktopDisplayMode(0, &desktop);
        sdl.window = SDL_CreateWindow("vlorp", 0, 0, desktop.w, desktop.h,
                                      SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS |
                                          SDL_WINDOW_HIDDEN | fullscreen);
        if (sdl.window) {
            show_fullscreen(real_mode);
            SDL_ShowCursor(SDL_DISABLE);
        }
    }
    if (!sdl.window) {
        *error = std::string("cannot open a window: ") + SDL_GetError();
        return false;
    }
    if (!make_context(error) || !host_check_gl_extensions(error)) return false;
    SDL_GL_SetSwapInterval(1);
    host_init_gl_state();
    return true;
}

void host_close_window() {
    // A display-mode change outlives the process on Linux: destroying the
    // window and leaving SDL puts the desktop back.
    if (sdl.context) SDL_GL_DeleteContext(sdl.context);
    if (sdl.window) SDL_DestroyWindow(sdl.window);
    if (host_stats.driver_time > 0) SDL_GL_UnloadLibrary();
    sdl.context = nullptr;
    sdl.window = nullptr;
    SDL_ShowCursor(SDL_ENABLE);
    SDL_Quit();
}

int32_t host_poll_event() {
    SDL_Event event;
    if (!SDL_PollEvent(&event)) return HOST_EVENT_NONE;
    if (event.type == SDL_QUIT) return HOST_EVENT_QUIT;
    if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE) return HOST_EVENT_QUIT;
    return HOST_EVENT_OTHER;
}

double clock_seconds() {
    const int64_t frequency = int64_t(SDL_GetPerformanceFrequency());
    const int64_t counter = int64_t(SDL_GetPerformanceCounter());
    return double((long double)counter / (long double)frequency);
}

void host_swap_buffers() {
    SDL_GL_SwapWindow(sdl.window);
}

void host_drawable_size(int32_t* width, int32_t* height) {
    int w = 0, h = 0;
    SDL_GL_GetDrawableSize(sdl.window, &w, &h);
    *width = w;
    *height = h;
}

void* host_gl_proc_address(const char* name) {
    return SDL_GL_GetProcAddress(name);
}

void host_message_box(const char* text) {
    if (SDL_ShowSimpleMessageBox(0, "", text, nullptr) != 0) fprintf(stderr, "vlorp: %s\n", text);
}
