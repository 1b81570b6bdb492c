// vlorp-xm play: plays a song on the audio device with a one-line status
// (time, order, row as heard) until q, Escape, Ctrl-C or the time limit.
#include "music/output.h"
#include "tools/os.h"
#include "tools/sync_log.h"
#include "tools/vlorp_xm.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

static const char* PLAY_USAGE =
    "usage: vlorp-xm play FILE.xm [-t SECONDS] [--sync-log FILE]\n"
    "\n"
    "Plays FILE.xm on the default audio device. On a terminal a status line\n"
    "shows the time and the order and row being heard; q, Escape or Ctrl-C stop.\n"
    "\n"
    "  -t SECONDS   stop after this many seconds\n"
    "  --sync-log FILE\n"
    "               write one line per status poll: the time, the position heard\n"
    "               then in frames, the device delay, order and row\n";

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

} // namespace

int cmd_play(int argc, char** argv) {
    if (vlorp_xm_wants_help(argc, argv)) {
        fputs(PLAY_USAGE, stdout);
        return 0;
    }
    const char* input = nullptr;
    const char* sync_log_path = nullptr;
    double limit = 0;
    for (int i = 0; i < argc; i++) {
        if (!strcmp(argv[i], "-t") && i + 1 < argc) {
            char* end;
            limit = strtod(argv[++i], &end);
            if (*end || !(limit > 0)) {
                fprintf(stderr, "vlorp-xm play: -t wants seconds above 0, not '%s'\n\n%s", argv[i],
                        PLAY_USAGE);
                return 2;
            }
        } else if (!strcmp(argv[i], "--sync-log") && i + 1 < argc) {
            sync_log_path = argv[++i];
        } else if (argv[i][0] == '-' || input) {
            fprintf(stderr, "vlorp-xm play: unexpected '%s'\n\n%s", argv[i], PLAY_USAGE);
            return 2;
        } else {
            input = argv[i];
        }
    }
    if (!input) {
        fputs(PLAY_USAGE, stderr);
        return 2;
    }
    SyncLog sync_log = {};
    std::string error;
    if (!sync_log_open(&sync_log, sync_log_path, &error)) {
        fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        return 1;
    }
    Song* song = vlorp_xm_load(input);
    if (!song) {
        sync_log_discard(&sync_log);
        return 1;
    }
    if (!player_play(song)) {
        fprintf(stderr, "vlorp-xm: no audio device: %s\n", output_device_error());
        song_free(song);
        sync_log_discard(&sync_log);
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    os_keys_begin();
    const bool status = os_is_terminal(2);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (stop_requested || os_quit_key() || (limit > 0 && seconds >= limit)) break;
        // What is heard now, as the show would draw it.
        const double now = output_clock_seconds();
        OutputPosition heard;
        output_position(now, &heard);
        sync_log_write(&sync_log, now, heard, heard.frames / MIX_RATE, true);
        if (status) {
            const double at = heard.frames / MIX_RATE;
            int minutes = int(at / 60);
            fprintf(stderr, "\r%3d:%05.2f  order %3d  row %3d   %s", minutes, at - 60 * minutes,
                    heard.order, heard.row, os_keys_active() ? "(q to stop)" : "");
            fflush(stderr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    os_keys_end();
    if (status) fputc('\n', stderr);
    player_stop(song);
    song_free(song);
    if (!sync_log_close(&sync_log, &error)) {
        fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
