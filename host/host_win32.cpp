// Platform layer on Win32 and WGL: display mode, window or hidden window,
// GL context, messages, clock, message box. Everything above it is portable.
//
// The window is of the predefined "Static" class, so the program has no
// window procedure of its own: the frame loop sees the keyboard through
// the thread's message queue, and a window closed by the user simply
// stops existing.
#include "gfx/platform.h"
#include "host/host.h"

#include <windows.h>

#include <GL/gl.h>
#include <cstdio>
#include <cstring>

static struct {
    HWND window;
    HDC device_context;
    HGLRC context;
    bool mode_changed;  // the desktop's mode must be put back
    bool cursor_hidden; // ShowCursor(FALSE) must be undone
} win;

// A GUI program gets no console of its own: started from one, it writes
// to its parent's, so --help, errors and --stats are seen there; started
// with its output redirected, the handles it inherited serve as they are.
void host_init_process() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const bool have_out =
        out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN;
    const bool have_err =
        err && err != INVALID_HANDLE_VALUE && GetFileType(err) != FILE_TYPE_UNKNOWN;
    if ((!have_out || !have_err) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (!have_out) freopen("CONOUT$", "w", stdout);
        if (!have_err) freopen("CONOUT$", "w", stderr);
    }
}

// Double-buffered RGBA: 32 colour bits with 8 alpha, 24 depth, 8 stencil.
static const PIXELFORMATDESCRIPTOR PIXEL_FORMAT = {sizeof(PIXELFORMATDESCRIPTOR),
                                                   1,
                                                   PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL |
                                                       PFD_DOUBLEBUFFER,
                                                   PFD_TYPE_RGBA,
                                                   32,
                                                   0,
                                                   0,
                                                   0,
                                                   0,
                                                   0,
                                                   0, // colour bits and shifts
                                                   8, // alpha bits
                                                   0, // alpha shift
                                                   0,
                                                   0,
                                                   0,
                                                   0,
                                                   0,  // accumulation
                                                   24, // depth
                                                   8,  // stencil
                                                   0,  // auxiliary buffers
                                                   PFD_MAIN_PLANE,
                                                   0,
                                                   0,
                                                   0,
                                                   0};

typedef BOOL(WINAPI* SwapIntervalProc)(int interval);

static bool fail(std::string* error, const char* what) {
    *error = what;
    return false;
}

static bool make_context(std::string* error) {
    win.device_context = GetDC(win.window);
    const int format = ChoosePixelFormat(win.device_context, &PIXEL_FORMAT);
    if (format == 0)
        return fail(error, "no OpenGL pixel format with 8 alpha, 24 depth and 8 stencil bits");
    if (!SetPixelFormat(win.device_context, format, &PIXEL_FORMAT))
        return fail(error, "cannot set the window's OpenGL pixel format");
    host_stats.driver_time = clock_seconds(); // the pixel format loaded the GL driver
    win.context = wglCreateContext(win.device_context);
    if (!win.context) return fail(error, "cannot create an OpenGL context");
    if (!wglMakeCurrent(win.device_context, win.context))
        return fail(error, "cannot make the OpenGL context current");
    return true;
}

static void set_swap_interval(int interval) {
    SwapIntervalProc swap_interval =
        reinterpret_cast<SwapIntervalProc>(host_gl_proc_address("wglSwapIntervalEXT"));
    if (swap_interval) swap_interval(interval);
}

bool host_open_window(int32_t kind, std::string* error) {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    if (kind == HOST_OFFSCREEN) {
        // A hidden window only lends its context; the frames go to the
        // off-screen framebuffer and are read back.
        win.window = CreateWindowExA(0, "Static", nullptr, WS_POPUP, 0, 0, SCREEN_WIDTH,
                                     SCREEN_HEIGHT, nullptr, nullptr, instance, nullptr);
        if (!win.window) return fail(error, "cannot render off-screen: no window can be created");
        if (!make_context(error) || !host_check_gl_extensions(error)) return false;
        set_swap_interval(0);
        host_init_gl_state();
        return true;
    }

    if (kind == HOST_WINDOWED) {
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                            WS_CLIPSIBLINGS | WS_CLIPCHILDREN | SS_BLACKRECT;
        RECT frame = {0, 0, SCREEN_WIDTH, SCREEN_HEIGHT};
        AdjustWindowRectEx(&frame, style, FALSE, WS_EX_APPWINDOW);
        // SS_BLACKRECT: the control paints black, never its title, under the picture.
        win.window = CreateWindowExA(WS_EX_APPWINDOW, "Static", "vlorp", style, CW_USEDEFAULT,
                                     CW_USEDEFAULT, frame.right - frame.left,
                                     frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    } else {
        // A real 640 x 480 mode where the display has one (temporary: the
        // system also restores it if the process dies); otherwise a window
        // over the whole desktop, into which the picture is scaled.
        DEVMODEA mode;
        memset(&mode, 0, sizeof mode);
        mode.dmSize = sizeof mode;
        mode.dmPelsWidth = SCREEN_WIDTH;
        mode.dmPelsHeight = SCREEN_HEIGHT;
        mode.dmBitsPerPel = 32;
        mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
        win.mode_changed = ChangeDisplaySettingsA(&mode, CDS_FULLSCREEN) == DISP_CHANGE_SUCCESSFUL;
        int32_t width = SCREEN_WIDTH, height = SCREEN_HEIGHT;
        if (!win.mode_changed) {
            width = GetSystemMetrics(SM_CXSCREEN);
            height = GetSystemMetrics(SM_CYSCREEN);
        }
        ShowCursor(FALSE);
        win.cursor_hidden = true;
        win.window = CreateWindowExA(WS_EX_APPWINDOW, "Static", nullptr,
                                     WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, width,
                                     height, nullptr, nullptr, instance, nullptr);
    }
    if (!win.window)
        return fail(error, "no display available; render the show to a video instead: "
                           "vlorp --capture vlorp.mp4");
    host_stats.display_time = clock_seconds();
    if (!make_context(error) || !host_check_gl_extensions(error)) return false;
    ShowWindow(win.window, SW_SHOW);
    SetForegroundWindow(win.window);
    SetFocus(win.window);
    set_swap_interval(1);
    host_init_gl_state();
    return true;
}

void host_close_window() {
    if (win.context) {
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(win.context);
    }
    if (win.device_context) ReleaseDC(win.window, win.device_context);
    if (win.window && IsWindow(win.window)) DestroyWindow(win.window);
    win.context = nullptr;
    win.device_context = nullptr;
    win.window = nullptr;
    if (win.mode_changed) ChangeDisplaySettingsA(nullptr, 0);
    win.mode_changed = false;
    if (win.cursor_hidden) ShowCursor(TRUE);
    win.cursor_hidden = false;
}

int32_t host_poll_event() {
    // A window closed from outside is destroyed by its class; no message says so.
    if (win.window && !IsWindow(win.window)) return HOST_EVENT_QUIT;
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return HOST_EVENT_NONE;
    if (message.message == WM_QUIT) return HOST_EVENT_QUIT;
    if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) return HOST_EVENT_QUIT;
    DispatchMessageA(&message);
    return HOST_EVENT_OTHER;
}

double clock_seconds() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return double((long double)counter.QuadPart / (long double)frequency.QuadPart);
}

void host_swap_buffers() {
    SwapBuffers(win.device_context);
}

void host_drawable_size(int32_t* width, int32_t* height) {
    RECT client = {0, 0, 0, 0};
    if (win.window) GetClientRect(win.window, &client);
    *width = client.right - client.left;
    *height = client.bottom - client.top;
}

void* host_gl_proc_address(const char* name) {
    PROC proc = wglGetProcAddress(name);
    // Some drivers answer small integers instead of null for unknown names,
    // and OpenGL 1.1 entry points come from opengl32.dll itself.
    const intptr_t value = reinterpret_cast<intptr_t>(proc);
    if (value == 0 || value == 1 || value == 2 || value == 3 || value == -1)
        proc = GetProcAddress(GetModuleHandleA("opengl32.dll"), name);
    return reinterpret_cast<void*>(proc);
}

void host_message_box(const char* text) {
    MessageBoxA(nullptr, text, "", MB_OK);
}
