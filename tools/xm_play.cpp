// vlorp-xm play: plays songs on the audio device with a one-line status
// (time, order, row as heard), each once through (or looping), until q,
// Escape, Ctrl-C or the time limit.
#include "os/os.h"
#include "tools/sync_log.h"
#include "tools/vlorp_xm.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <thread>

static const char* PLAY_USAGE =
    "usage: vlorp-xm play FILE.xm... [-t SECONDS] [-l] [-s ORDER] [-q] [--sync-log FILE]\n"
    "\n"
    "Plays each module ('-': standard input) once on the default audio device\n"
    "and stops where the song first repeats (at most 30 minutes), then plays the\n"
    "next. On a terminal a status line shows the time and the order and row\n"
    "being heard; q, Escape or Ctrl-C stop.\n"
    "\n"
    "  -l, --loop           repeat the song until stopped\n"
    "  -q, --quiet          no status line\n"
    "  -s, --start ORDER    start at this order position (0 is the first)\n"
    "  -t, --time SECONDS   stop each song after this many seconds\n"
    "  --sync-log FILE      write one line per status poll: the time, the position\n"
    "                       heard then in frames, the device delay, order and row\n"
    "  -h, --help           print this help\n";

namespace {

volatile std::sig_atomic_t stop_requested = 0;
bool quit_all = false; // q or Escape: no further songs either

void on_signal(int) {
    stop_requested = 1;
}

struct PlayOptions {
    double limit = 0; // -t; 0: none
    long long start = -1;
    bool loop = false;
    bool quiet = false;
    const char* sync_log = nullptr;
};

// Returns false (and the status) when the options do not make a play.
bool play_options(int argc, char** argv, PlayOptions* o, int* status) {
    static const option longs[] = {{"time", required_argument, nullptr, 't'},
                                   {"loop", no_argument, nullptr, 'l'},
                                   {"start", required_argument, nullptr, 's'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"sync-log", required_argument, nullptr, 'L'},
                                   {}};
    XmOptions parse;
    vlorp_xm_options_begin(&parse, "play", "t:ls:qh", longs);
    const char* v;
    *status = 2;
    for (int c; (c = vlorp_xm_option(&parse, argc, argv, &v)) != -1;) {
        if (c == 'h') {
            fputs(PLAY_USAGE, stdout);
            *status = 0;
            return false;
        } else if (c == 'l') {
            o->loop = true;
        } else if (c == 'q') {
            o->quiet = true;
        } else if (c == 'L') {
            o->sync_log = v;
        } else if (c == 't') {
            if (!vlorp_xm_number(v, 1e-9, 1e7, &o->limit)) {
                vlorp_xm_usage_error("play", "-t wants seconds above 0, not '%s'", v);
                return false;
            }
        } else if (c == 's') {
            if (!vlorp_xm_integer(v, 0, 255, &o->start)) {
                vlorp_xm_usage_error("play", "-s wants an order position from 0 to 255, not '%s'",
                                     v);
                return false;
            }
        } else {
            return false;
        }
    }
    if (vlorp_xm_operands() >= argc) {
        vlorp_xm_usage_error("play", "no module named");
        return false;
    }
    return true;
}

// Loads `input`, checks its start order, and measures the seconds from
// there until the song first repeats.
vlorp_xm_module* play_load(const char* input, const PlayOptions& o, double* seconds) {
    std::string bytes;
    if (!vlorp_xm_read(input, &bytes)) return nullptr;
    vlorp_xm_info info;
    vlorp_xm_module* module = vlorp_xm_load(input, bytes, &info);
    if (!module) return nullptr;
    vlorp_xm_warn_cut(input, info);
    if (o.start >= 0 && o.start >= info.orders) {
        fprintf(stderr, "vlorp-xm: %s: no order position %lld (the song has %d)\n",
                vlorp_xm_input_name(input), o.start, int(info.orders));
        vlorp_xm_free(module);
        return nullptr;
    }
    int64_t frames = info.length_frames; // from order 0
    if (o.start > 0) vlorp_xm_get_length(module, int32_t(o.start), &frames, nullptr);
    *seconds = double(frames) / MIX_RATE;
    return module;
}

// Plays one song until its end (unless looping), the time limit, a quit key
// or a signal. False if no device could be opened.
bool play_song(vlorp_xm_module* module, const PlayOptions& o, double song_seconds,
               SyncLog* sync_log) {
    if (vlorp_xm_play_from(module, o.start >= 0 ? int32_t(o.start) : 0) != VLORP_XM_OK) {
        fprintf(stderr, "vlorp-xm: no audio device: %s\n", vlorp_xm_device_error());
        return false;
    }
    os_keys_begin();
    const bool status = !o.quiet && os_is_terminal(2);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (os_quit_key()) quit_all = true;
        if (stop_requested || quit_all || (o.limit > 0 && seconds >= o.limit)) break;
        // What is heard now, as the show would draw it; the song ends when
        // its end is heard, however late the device started.
        const double now = vlorp_xm_clock();
        vlorp_xm_heard heard;
        vlorp_xm_get_heard(module, now, &heard);
        const double at = heard.frames / MIX_RATE;
        sync_log_write(sync_log, now, heard.frames, heard.delay_frames, heard.order, heard.row, at,
                       true);
        if (!o.loop && at >= song_seconds) break;
        if (status) {
            int minutes = int(at / 60);
            fprintf(stderr, "\r%3d:%05.2f  order %3d  row %3d   %s", minutes, at - 60 * minutes,
                    int(heard.order), int(heard.row), os_keys_active() ? "(q to stop)" : "");
            fflush(stderr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    os_keys_end();
    if (status) fputc('\n', stderr);
    vlorp_xm_stop(module);
    return true;
}

} // namespace

int cmd_play(int argc, char** argv) {
    PlayOptions o;
    int status;
    if (!play_options(argc, argv, &o, &status)) return status;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    SyncLog sync_log = {};
    std::string error;
    if (!sync_log_open(&sync_log, o.sync_log, &error)) {
        fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        return 1;
    }
    status = 0;
    for (int i = vlorp_xm_operands(); i < argc && !stop_requested && !quit_all; i++) {
        double seconds = 0;
        vlorp_xm_module* module = play_load(argv[i], o, &seconds);
        if (!module) {
            status = 1;
            continue;
        }
        const bool played = play_song(module, o, seconds, &sync_log);
        vlorp_xm_free(module);
        if (!played) {
            sync_log_discard(&sync_log);
            return 1;
        }
    }
    if (!sync_log_close(&sync_log, &error)) {
        fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        return 1;
    }
    return status;
}
