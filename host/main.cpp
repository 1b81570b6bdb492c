// vlorp: the show. With no options it plays full screen; the options show
// it in a window, render one still, or capture the whole run.
#include "host/host.h"
#include "show/show.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char* USAGE =
    "usage: vlorp [--window]\n"
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
    "                    soundtrack.wav into it instead\n"
    "  --fps N           frames per second of the capture (1 to 240, default 60)\n"
    "  --help            print this help\n"
    "  --version         print the version\n"
    "\n"
    "--still and --capture need no display.\n";

static int usage_error(const std::string& message) {
    fprintf(stderr, "vlorp: %s (try 'vlorp --help')\n", message.c_str());
    return 2;
}

static bool parse_seconds(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return end != text && *end == 0 && errno == 0 && std::isfinite(*value);
}

static bool parse_fps(const char* text, int32_t* value) {
    char* end = nullptr;
    const long n = strtol(text, &end, 10);
    if (end == text || *end != 0 || n < 1 || n > 240) return false;
    *value = int32_t(n);
    return true;
}

int main(int argc, char** argv) {
    host_stats.start_time = clock_seconds();
    host_init_process();
    bool window = false, stats = false;
    const char* still = nullptr;
    const char* output = nullptr;
    const char* capture = nullptr;
    const char* fps_text = nullptr;
    const char* sync_log = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        auto value = [&](const char** slot) {
            if (i + 1 >= argc) return false;
            *slot = argv[++i];
            return true;
        };
        if (!strcmp(arg, "--help") || !strcmp(arg, "-h")) {
            fputs(USAGE, stdout);
            return 0;
        } else if (!strcmp(arg, "--version")) {
            printf("vlorp %s\n", VLORP_VERSION);
            return 0;
        } else if (!strcmp(arg, "--window")) {
            window = true;
        } else if (!strcmp(arg, "--stats")) {
            stats = true;
        } else if (!strcmp(arg, "--sync-log")) {
            if (!value(&sync_log)) return usage_error("--sync-log needs a file name");
        } else if (!strcmp(arg, "--still")) {
            if (!value(&still)) return usage_error("--still needs a time in seconds");
        } else if (!strcmp(arg, "-o") || !strcmp(arg, "--output")) {
            if (!value(&output)) return usage_error(std::string(arg) + " needs a file name");
        } else if (!strcmp(arg, "--capture")) {
            if (!value(&capture)) return usage_error("--capture needs an output file or folder");
        } else if (!strcmp(arg, "--fps")) {
            if (!value(&fps_text)) return usage_error("--fps needs a number");
        } else {
            return usage_error(std::string("unknown option '") + arg + "'");
        }
    }

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
