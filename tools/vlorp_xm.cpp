// vlorp-xm: the music engine's command-line tool.
#include "music/engine.h"
#include "music/mixer.h"
#include "music/output.h"
#include "tools/filesrc.h"
#include "tools/vlorp_xm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char* USAGE =
    "usage: vlorp-xm COMMAND [OPTIONS] FILE.xm\n"
    "\n"
    "Plays and renders XM (Extended Module) music with the vlorp engine.\n"
    "\n"
    "commands:\n"
    "  info FILE.xm     print the module's header figures, one 'name value' per line\n"
    "  render FILE.xm   mix the song offline into a WAV or raw PCM file\n"
    "  play FILE.xm     play the song on the audio device\n"
    "\n"
    "Run 'vlorp-xm COMMAND --help' for a command's options.\n";

static const char* INFO_USAGE =
    "usage: vlorp-xm info FILE.xm\n"
    "\n"
    "Loads FILE.xm and prints one 'name value' line for each of: song_length,\n"
    "restart_position, channel_count, pattern_count, referenced_pattern_count,\n"
    "instrument_count, flags, default_speed, default_bpm, samples (sample records\n"
    "with data), sample_frames (their total length in frames) and duration_ms\n"
    "(the playing time until the song first repeats, at most 30 minutes).\n";

static void fail(const char* path, const std::string& why) {
    fprintf(stderr, "vlorp-xm: %s: %s\n", path, why.c_str());
}

// The engine only says a load failed; look at the bytes to say why.
static std::string load_failure_reason(const std::string& bytes) {
    if (bytes.size() < 17 || memcmp(bytes.data(), "Extended Module: ", 17) != 0)
        return "not an XM module";
    if (bytes.size() >= 70) {
        int channels = uint8_t(bytes[68]) | uint8_t(bytes[69]) << 8;
        if (channels < 1 || channels > MAX_CHANNELS)
            return "unsupported channel count " + std::to_string(channels) + " (1 to 32)";
    }
    return "an instrument has more than 16 samples";
}

// A module cut off is played as far as it goes, but never without a word.
// Said once per run: render loads the song twice.
static void warn_if_cut_short(const char* path, const Song* song) {
    static bool warned = false;
    if (song->missing_part == LOAD_COMPLETE || warned) return;
    warned = true;
    const int32_t k = song->missing_index;
    std::string what;
    switch (song->missing_part) {
    case LOAD_HEADER:
        what = "the header";
        break;
    case LOAD_PATTERN:
        what = "pattern " + std::to_string(k) + " of " + std::to_string(song->pattern_count);
        break;
    case LOAD_INSTRUMENT:
        what =
            "instrument " + std::to_string(k + 1) + " of " + std::to_string(song->instrument_count);
        break;
    default:
        what = "the sample data of instrument " + std::to_string(k + 1) + " of " +
               std::to_string(song->instrument_count);
        break;
    }
    fprintf(stderr, "vlorp-xm: warning: %s: cut short: %s and everything after it are missing\n",
            path, what.c_str());
}

// Loads `path` through the file source; prints the reason and returns null on failure.
Song* vlorp_xm_load(const char* path) {
    std::string bytes, error;
    if (!filesrc_read_file(path, bytes, error)) {
        fail(path, error);
        return nullptr;
    }
    filesrc_register_bytes(bytes);
    Song* song = song_load(path, nullptr);
    if (!song) fail(path, load_failure_reason(bytes));
    if (song) warn_if_cut_short(path, song);
    return song;
}

int64_t vlorp_xm_song_frames(Song* song, int64_t max_frames, bool* repeats) {
    *repeats = false;
    if (!output_offline_start(song)) return 0;
    while (!song->repeated && song->frames_ticked < max_frames) song->tick_handler(song);
    *repeats = song->repeated;
    int64_t frames = song->repeated ? song->repeat_frame : max_frames;
    player_stop(song);
    return frames < max_frames ? frames : max_frames;
}

bool vlorp_xm_wants_help(int argc, char** argv) {
    for (int i = 0; i < argc; i++)
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) return true;
    return false;
}

static int cmd_info(int argc, char** argv) {
    if (vlorp_xm_wants_help(argc, argv)) {
        fputs(INFO_USAGE, stdout);
        return 0;
    }
    if (argc != 1 || argv[0][0] == '-') {
        fputs(INFO_USAGE, stderr);
        return 2;
    }
    Song* song = vlorp_xm_load(argv[0]);
    if (!song) return 1;
    long samples = 0, frames = 0;
    for (int i = 0; i < song->instrument_count; i++) {
        const Instrument& ins = song->instruments[i];
        for (int j = 0; j < ins.sample_count; j++) {
            if (!ins.samples[j]->data) continue;
            samples++;
            frames += ins.samples[j]->length;
        }
    }
    printf("song_length %d\n", song->song_length);
    printf("restart_position %d\n", song->restart_position);
    printf("channel_count %d\n", song->channel_count);
    printf("pattern_count %d\n", song->pattern_count);
    printf("referenced_pattern_count %d\n", song->referenced_pattern_count);
    printf("instrument_count %d\n", song->instrument_count);
    printf("flags %u\n", unsigned(song->flags));
    printf("default_speed %d\n", song->default_speed);
    printf("default_bpm %d\n", song->default_bpm);
    printf("samples %ld\n", samples);
    printf("sample_frames %ld\n", frames);
    bool repeats;
    printf(
        "duration_ms %lld\n",
        (long long)(vlorp_xm_song_frames(song, VLORP_XM_MAX_FRAMES, &repeats) * 1000 / MIX_RATE));
    song_free(song);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(USAGE, stderr);
        return 2;
    }
    const char* command = argv[1];
    if (!strcmp(command, "--help") || !strcmp(command, "-h") || !strcmp(command, "help")) {
        fputs(USAGE, stdout);
        return 0;
    }
    // A mixer path asked for but not run here is named, once, on stderr.
    if (const char* wanted = getenv("VLORP_MIXER")) {
        if (*wanted && strcmp(wanted, mixer_path_name(mixer_path())) != 0)
            fprintf(stderr,
                    "vlorp-xm: VLORP_MIXER=%s: not a mixer path this processor runs "
                    "(plain, sse2, avx2, avx512); using %s\n",
                    wanted, mixer_path_name(mixer_path()));
    }
    if (!strcmp(command, "info")) return cmd_info(argc - 2, argv + 2);
    if (!strcmp(command, "render")) return cmd_render(argc - 2, argv + 2);
    if (!strcmp(command, "play")) return cmd_play(argc - 2, argv + 2);
    fprintf(stderr, "vlorp-xm: unknown command '%s'\n\n%s", command, USAGE);
    return 2;
}
