// vlorp-xm: the music engine's command-line tool.
#include "tools/filesrc.h"
#include "tools/vlorp_xm.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>

static const char* USAGE =
    "usage: vlorp-xm COMMAND [OPTIONS] FILE.xm...\n"
    "\n"
    "Plays and renders XM (Extended Module) music with the vlorp engine.\n"
    "\n"
    "commands:\n"
    "  info FILE.xm...     print each module's figures, one 'name value' per line\n"
    "  render FILE.xm...   mix each song offline into an audio file\n"
    "  play FILE.xm...     play each song once on the audio device\n"
    "\n"
    "FILE '-' is standard input. Run 'vlorp-xm COMMAND --help' for a command's\n"
    "options; 'vlorp-xm --version' prints the version.\n";

static const char* INFO_USAGE =
    "usage: vlorp-xm info FILE.xm...\n"
    "\n"
    "Loads each module ('-': standard input) and prints one 'name value' line for\n"
    "each of: title, tracker (the program that saved it), complete ('yes', or\n"
    "'no:' and the part first missing from a file cut short), song_length,\n"
    "restart_position, channel_count, pattern_count, referenced_pattern_count,\n"
    "instrument_count, flags (the number, then the flags it holds in brackets:\n"
    "'linear frequency table' or 'Amiga frequency table'), default_speed,\n"
    "default_bpm, samples (sample records with data), sample_frames (their total\n"
    "length in frames) and duration_ms (the playing time until the song first\n"
    "repeats, at most 30 minutes). With several modules, each one's lines follow\n"
    "a 'file NAME' line, and a blank line separates them.\n"
    "\n"
    "  -h, --help   print this help\n";

static void fail(const char* path, const std::string& why) {
    fprintf(stderr, "vlorp-xm: %s: %s\n", path, why.c_str());
}

const char* vlorp_xm_input_name(const char* path) {
    return !strcmp(path, "-") ? "standard input" : path;
}

std::string vlorp_xm_missing(const vlorp_xm_info& info) {
    const int32_t k = info.missing_index;
    switch (info.missing_part) {
    case VLORP_XM_MISSING_NONE:
        return "";
    case VLORP_XM_MISSING_HEADER:
        return "the header";
    case VLORP_XM_MISSING_PATTERN:
        return "pattern " + std::to_string(k) + " of " + std::to_string(info.patterns);
    case VLORP_XM_MISSING_INSTRUMENT:
        return "instrument " + std::to_string(k + 1) + " of " + std::to_string(info.instruments);
    default:
        return "the sample data of instrument " + std::to_string(k + 1) + " of " +
               std::to_string(info.instruments);
    }
}

bool vlorp_xm_read(const char* path, std::string* bytes) {
    std::string error;
    if (filesrc_read_file(path, *bytes, error)) return true;
    fail(vlorp_xm_input_name(path), error);
    return false;
}

vlorp_xm_module* vlorp_xm_load(const char* path, const std::string& bytes, vlorp_xm_info* info) {
    vlorp_xm_module* module = nullptr;
    if (vlorp_xm_load_memory(bytes.data(), bytes.size(), &module) != VLORP_XM_OK) {
        fail(vlorp_xm_input_name(path), vlorp_xm_load_error());
        return nullptr;
    }
    if (info) vlorp_xm_get_info(module, info);
    return module;
}

void vlorp_xm_warn_cut(const char* path, const vlorp_xm_info& info) {
    // A module cut off is played as far as it goes, but never without a word.
    if (!info.complete)
        fprintf(stderr,
                "vlorp-xm: warning: %s: cut short: %s and everything after it are missing\n",
                vlorp_xm_input_name(path), vlorp_xm_missing(info).c_str());
}

// ---- options ----

void vlorp_xm_options_begin(XmOptions* parse, const char* command, const char* shorts,
                            const option* longs) {
    *parse = {command, shorts, longs, {}};
    optind = 0; // a fresh parse (GNU and mingw-w64 alike)
    opterr = 0; // the messages are ours, one line each
}

// How an option was written, for messages: "-t" or "--time".
static std::string option_name(const XmOptions* parse, int value) {
    for (const option* o = parse->longs; o && o->name; o++)
        if (o->val == value && (value > 255 || !strchr(parse->shorts, value)))
            return std::string("--") + o->name;
    return std::string("-") + char(value);
}

int vlorp_xm_option(XmOptions* parse, int argc, char** argv, const char** value) {
    // ':' first: a missing value is told apart from an unknown option.
    const std::string shorts = std::string(":") + parse->shorts;
    const int c = getopt_long(argc, argv, shorts.c_str(), parse->longs, nullptr);
    *value = optarg;
    if (c == -1) return -1;
    if (c == ':') {
        vlorp_xm_usage_error(parse->command, "%s needs a value",
                             optopt ? option_name(parse, optopt).c_str() : argv[optind - 1]);
        return '?';
    }
    if (c == '?') {
        const char* given = argv[optind - 1];
        if (optopt && optopt < 256 && strncmp(given, "--", 2) != 0)
            vlorp_xm_usage_error(parse->command, "unknown option '-%c'", optopt);
        else if (optopt && strchr(given, '='))
            vlorp_xm_usage_error(parse->command, "%s takes no value", given);
        else
            vlorp_xm_usage_error(parse->command, "unknown option '%s'", given);
        return '?';
    }
    if (c >= 0 && c < 512 && parse->seen[c]++) {
        vlorp_xm_usage_error(parse->command, "%s given twice", option_name(parse, c).c_str());
        return '?';
    }
    return c;
}

int vlorp_xm_operands() {
    return optind;
}

int vlorp_xm_usage_error(const char* command, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (command)
        fprintf(stderr, "vlorp-xm %s: %s (see 'vlorp-xm %s --help')\n", command, message, command);
    else
        fprintf(stderr, "vlorp-xm: %s (see 'vlorp-xm --help')\n", message);
    return 2;
}

bool vlorp_xm_number(const char* text, double low, double high, double* value) {
    // Digits with at most a point and an exponent: no spaces, signs of
    // hexadecimal, infinities or other things strtod would take.
    const char* p = text;
    if (*p == '-' || *p == '+') p++;
    if (!(*p >= '0' && *p <= '9') && !(*p == '.' && p[1] >= '0' && p[1] <= '9')) return false;
    if (strspn(p, "0123456789.eE+-") != strlen(p)) return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (*end || errno || !std::isfinite(v) || v < low || v > high) return false;
    *value = v;
    return true;
}

bool vlorp_xm_integer(const char* text, long long low, long long high, long long* value) {
    if (!*text || strspn(text, "0123456789") != strlen(text)) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = strtoll(text, &end, 10);
    if (*end || errno || v < low || v > high) return false;
    *value = v;
    return true;
}

bool vlorp_xm_stdout_ok(bool* quiet) {
    *quiet = false;
    const int earlier = errno; // a write that failed just before says why
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout)) return true;
    if (!errno) errno = earlier;
    if (errno == EPIPE) {
        *quiet = true;
        return false;
    }
    fprintf(stderr, "vlorp-xm: standard output: %s\n", strerror(errno ? errno : EIO));
    return false;
}

// ---- info ----

// A stored name as one printable line: trailing blanks gone, control bytes as '?'.
static std::string printable(const char* stored) {
    std::string s = stored;
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    for (char& c : s)
        if (uint8_t(c) < 32 || c == 127) c = '?';
    return s;
}

static std::string flag_names(uint16_t flags) {
    const uint16_t linear = 1; // the linear frequency table
    std::string names = flags & linear ? "linear frequency table" : "Amiga frequency table";
    if (flags & ~linear) {
        char other[48];
        snprintf(other, sizeof other, ", unknown bits 0x%04x", unsigned(flags & ~linear));
        names += other;
    }
    return names;
}

static void print_info(const vlorp_xm_info& info) {
    const std::string missing = vlorp_xm_missing(info);
    printf("title %s\n", printable(info.title).c_str());
    printf("tracker %s\n", printable(info.tracker).c_str());
    if (missing.empty())
        printf("complete yes\n");
    else
        printf("complete no: %s and everything after it are missing\n", missing.c_str());
    printf("song_length %d\n", int(info.orders));
    printf("restart_position %d\n", int(info.restart_order));
    printf("channel_count %d\n", int(info.channels));
    printf("pattern_count %d\n", int(info.patterns));
    printf("referenced_pattern_count %d\n", int(info.referenced_patterns));
    printf("instrument_count %d\n", int(info.instruments));
    printf("flags %u (%s)\n", unsigned(info.flags), flag_names(info.flags).c_str());
    printf("default_speed %d\n", int(info.speed));
    printf("default_bpm %d\n", int(info.tempo));
    printf("samples %ld\n", long(info.samples));
    printf("sample_frames %lld\n", (long long)info.sample_frames);
    printf("duration_ms %lld\n", (long long)(info.length_frames * 1000 / MIX_RATE));
}

static int cmd_info(int argc, char** argv) {
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {}};
    XmOptions parse;
    vlorp_xm_options_begin(&parse, "info", "h", longs);
    const char* value;
    for (int c; (c = vlorp_xm_option(&parse, argc, argv, &value)) != -1;) {
        if (c == '?') return 2;
        if (c == 'h') {
            fputs(INFO_USAGE, stdout);
            return 0;
        }
    }
    const int first = vlorp_xm_operands();
    if (first >= argc) return vlorp_xm_usage_error("info", "no module named");
    const bool several = argc - first > 1;
    int status = 0;
    for (int i = first; i < argc; i++) {
        if (several) printf("%sfile %s\n", i > first ? "\n" : "", argv[i]);
        std::string bytes;
        vlorp_xm_info info;
        vlorp_xm_module* module =
            vlorp_xm_read(argv[i], &bytes) ? vlorp_xm_load(argv[i], bytes, &info) : nullptr;
        if (!module) {
            status = 1;
            continue;
        }
        print_info(info);
        vlorp_xm_free(module);
        if (ferror(stdout)) break; // the reason is in errno now
    }
    bool quiet;
    if (!vlorp_xm_stdout_ok(&quiet)) return quiet ? VLORP_XM_PIPE_CLOSED : 1;
    return status;
}

int main(int argc, char** argv) {
#ifdef SIGPIPE // Windows has neither signal: there the writes just fail
    // A closed pipe and a file-size limit are write errors, reported (or, for
    // a reader that went away, ended quietly) and never half a file left.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
#endif
    if (argc < 2) {
        fputs(USAGE, stderr);
        return 2;
    }
    const char* command = argv[1];
    if (!strcmp(command, "--help") || !strcmp(command, "-h") || !strcmp(command, "help")) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (!strcmp(command, "--version") || !strcmp(command, "-V")) {
        printf("vlorp-xm %s\n", VLORP_VERSION);
        return 0;
    }
    // A mixer path asked for but not run here is named, once, on stderr.
    if (const char* wanted = getenv("VLORP_MIXER")) {
        if (*wanted && strcmp(wanted, vlorp_xm_mixer_name()) != 0)
            fprintf(stderr,
                    "vlorp-xm: VLORP_MIXER=%s: not a mixer path this processor runs "
                    "(plain, sse2, avx2, avx512); using %s\n",
                    wanted, vlorp_xm_mixer_name());
    }
    if (!strcmp(command, "info")) return cmd_info(argc - 1, argv + 1);
    if (!strcmp(command, "render")) return cmd_render(argc - 1, argv + 1);
    if (!strcmp(command, "play")) return cmd_play(argc - 1, argv + 1);
    if (command[0] == '-')
        return vlorp_xm_usage_error(nullptr, "'%s' before the command (info, render or play)",
                                    command);
    return vlorp_xm_usage_error(nullptr, "unknown command '%s' (info, render or play)", command);
}
