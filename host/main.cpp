// vlorp: the show. With no options it plays full screen; the options show
// it in a window, render one still, or capture the whole run.
#include "host/host.h"
#include "gfx/platform.h"
#include "show/show.h"
#include "os/os.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>

static const char* USAGE =
    "usage: vlorp [--window] [--stats] [--sync-log FILE]\n"
    "       vlorp --still SECONDS -o FILE.png\n"
    "       vlorp --capture OUT.mp4|DIR/ [--fps N]\n"
    "\n"
    "A two-minute real-time show with its tracker-music soundtrack. With no\n"
    "options it plays full screen; Escape ends it.\n"
    "\n"
    "options:\n"
    "  --window          play in a 640 x 480 window instead of full screen\n"
    "  --stats           after the show, print start-up time and frames per second\n"
    "  --sync-log FILE   write one line per frame: when it appeared, the sound\n"
    "                    position heard then, the device delay, order, row, show time\n"
    "  --still T -o F    render the frame shown T seconds into the show (T < 0:\n"
    "                    the blank second before it) as a 640 x 480 PNG\n"
    "  --capture OUT     render the whole run (1 s blank, 120 s show) with its\n"
    "                    soundtrack to a video through ffmpeg (H.264 + AAC); if OUT\n"
    "                    ends in '/' or is a folder, write numbered PNG frames and\n"
    "                    soundtrack.wav into it instead; the files appear when the\n"
    "                    capture is complete (Ctrl-C leaves OUT as it was)\n"
    "  --fps N           frames per second of the capture (1 to 240, default 60)\n"
    "  -o, --output F    the still's file\n"
    "  -h, --help        print this help\n"
    "  -V, --version     print the version\n"
    "\n"
    "--still and --capture need no display.\n";

static int usage_error(const std::string& message) {
    fprintf(stderr, "vlorp: %s (try 'vlorp --help')\n", message.c_str());
    return 2;
}

// A plain decimal number of seconds: no spaces, no hexadecimal, no infinity.
static bool parse_seconds(const char* text, double* value) {
    const char* p = text + (*text == '-' || *text == '+');
    if (!(*p >= '0' && *p <= '9') && !(*p == '.' && p[1] >= '0' && p[1] <= '9')) return false;
    if (strspn(p, "0123456789.eE+-") != strlen(p)) return false;
    char* end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return *end == 0 && errno == 0 && std::isfinite(*value);
}

static bool parse_fps(const char* text, int32_t* value) {
    if (!*text || strspn(text, "0123456789") != strlen(text)) return false;
    char* end = nullptr;
    const long n = strtol(text, &end, 10);
    if (*end != 0 || n < 1 || n > 240) return false;
    *value = int32_t(n);
    return true;
}

// What the graphics code may ask of the platform layer.
static const GfxPlatform GFX_PLATFORM = {host_gl_proc_address, host_message_box};

namespace {
enum : int { OPT_WINDOW = 256, OPT_STATS, OPT_STILL, OPT_CAPTURE, OPT_FPS, OPT_SYNC_LOG };
struct Options {
    bool window = false, stats = false;
    const char* still = nullptr;
    const char* output = nullptr;
    const char* capture = nullptr;
    const char* fps_text = nullptr;
    const char* sync_log = nullptr;
};
} // namespace

// Reads the options with getopt_long. Returns -1 to go on, or the status
// to exit with (help, version, a usage error).
static int parse_options(int argc, char** argv, Options* o) {
    static const option longs[] = {{"window", no_argument, nullptr, OPT_WINDOW},
                                   {"stats", no_argument, nullptr, OPT_STATS},
                                   {"still", required_argument, nullptr, OPT_STILL},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"capture", required_argument, nullptr, OPT_CAPTURE},
                                   {"fps", required_argument, nullptr, OPT_FPS},
                                   {"sync-log", required_argument, nullptr, OPT_SYNC_LOG},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {}};
    opterr = 0; // the messages are ours, one line each
    bool seen[512] = {};
    for (int c; (c = getopt_long(argc, argv, ":o:hV", longs, nullptr)) != -1;) {
        const char* given = argv[optind - 1];
        if (c == ':') return usage_error(std::string(given) + " needs a value");
        if (c == '?')
            return usage_error(optopt > 0 && optopt < 256 && given[1] != '-'
                                   ? std::string("unknown option '-") + char(optopt) + "'"
                                   : std::string("unknown option '") + given + "'");
        if (seen[c]) return usage_error(std::string(given) + " given twice");
        seen[c] = true;
        switch (c) {
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        case 'V':
            printf("vlorp %s\n", VLORP_VERSION);
            return 0;
        case OPT_WINDOW:
            o->window = true;
            break;
        case OPT_STATS:
            o->stats = true;
            break;
        case OPT_STILL:
            o->still = optarg;
            break;
        case 'o':
            o->output = optarg;
            break;
        case OPT_CAPTURE:
            o->capture = optarg;
            break;
        case OPT_FPS:
            o->fps_text = optarg;
            break;
        case OPT_SYNC_LOG:
            o->sync_log = optarg;
            break;
        }
    }
    if (optind < argc) return usage_error(std::string("unexpected '") + argv[optind] + "'");
    return -1;
}

int main(int argc, char** argv) {
    host_stats.start_time = clock_seconds();
    host_stats.start_epoch =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    host_init_process();
    gfx_set_platform(&GFX_PLATFORM);
    // A file-size limit fails the write, reported in one line, never half a file.
    os_ignore_file_size_limit();
    Options o;
    const int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;
    const bool window = o.window, stats = o.stats;
    const char* still = o.still;
    const char* output = o.output;
    const char* capture = o.capture;
    const char* fps_text = o.fps_text;
    const char* sync_log = o.sync_log;
    if (still && capture) return usage_error("--still and --capture cannot be combined");
    if ((still || capture) && (window || stats || sync_log))
        return usage_error(std::string(window  ? "--window"
                                       : stats ? "--stats"
                                               : "--sync-log") +
                           " applies to the live show only");
    if (output && !still) return usage_error("-o goes with --still");
    if (fps_text && !capture) return usage_error("--fps goes with --capture");

    if (still) {
        double t = 0;
        if (!parse_seconds(still, &t))
            return usage_error(std::string("--still: '") + still + "' is not a time in seconds");
        if (t >= SHOW_LENGTH) return usage_error("--still: the show ends at 120 seconds");
        if (!output) return usage_error("--still needs -o FILE.png");
        return offline_still(t, output);
    }
    if (capture) {
        int32_t fps = 60;
        if (fps_text && !parse_fps(fps_text, &fps))
            return usage_error(std::string("--fps: '") + fps_text +
                               "' is not a whole number from 1 to 240");
        if (!*capture) return usage_error("--capture needs an output file or folder");
        return offline_capture(capture, fps);
    }
    return host_main(window ? HOST_WINDOWED : HOST_FULLSCREEN, stats, sync_log);
}
