// vlorp-xm render: mixes a song offline, block after block, through the
// same block filler the mixing thread uses, so the PCM is exactly what a
// listener hears from the looping buffer. Regular files are written under a
// temporary name and renamed at the end: an error never leaves half a file.
// Devices and pipes are written in place.
#include "music/output.h"
#include "os/os.h"
#include "os/outfile.h"
#include "os/progress.h"
#include "os/wav.h"
#include "tools/encoder.h"
#include "tools/vlorp_xm.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

static const char* RENDER_USAGE =
    "usage: vlorp-xm render FILE.xm [-o OUT] [OPTIONS]\n"
    "       vlorp-xm render FILE.xm... [-O DIR] [OPTIONS]\n"
    "\n"
    "Mixes each module ('-': standard input) offline into 16-bit stereo at\n"
    "44 100 Hz, in blocks of 884 frames (20 ms), exactly as the player would play\n"
    "it. Without -o each module's sound goes beside it, or into DIR with -O, as\n"
    "NAME.wav (NAME.EXT with --format). A module is never overwritten, nor one\n"
    "output by another, by any name or link: that is refused before anything is\n"
    "written.\n"
    "\n"
    "  -o, --output OUT       the output file, its format from its extension\n"
    "                         (below); '-' is standard output\n"
    "  -O, --output-dir DIR   write each module's output into DIR\n"
    "      --format FORMAT    the format whatever the name (below)\n"
    "  -t, --time SECONDS     length, rounded up to whole blocks (default: until\n"
    "                         the song first repeats, at most 30 minutes)\n"
    "      --blocks N         length in blocks\n"
    "  -s, --start ORDER      start at this order position (0 is the first)\n"
    "      --timeline OUT     one line per block: block, order, row, elapsed_ms\n"
    "                         (tab-separated; order and row as the low 8 bits);\n"
    "                         '-' is standard output; one module only\n"
    "  -q, --quiet            no progress display, nothing printed on success\n"
    "  -h, --help             print this help\n"
    "\n"
    "formats:\n"
    "  wav    .wav            WAV (also a name without an extension)\n"
    "  raw    .raw .pcm       raw little-endian PCM, left first (standard output)\n";

namespace {

constexpr uint64_t WAV_MAX_DATA = 0xFFFFFFFFull - 36;
// Lengths past these are typing errors, not songs: about 116 and 237 days.
constexpr double MAX_SECONDS = 1e7;
constexpr long long MAX_BLOCKS = 1000000000;
constexpr int FORMAT_WAV = -1;
constexpr int FORMAT_RAW = -2; // 0 and above: ENCODER_FORMATS

volatile std::sig_atomic_t interrupted = 0;

struct RenderOptions {
    const char* output = nullptr;
    const char* output_dir = nullptr;
    const char* timeline = nullptr;
    const char* format_name = nullptr; // --format
    int64_t blocks = 0;
    double seconds = -1;
    long long start = -1; // -s: the order to start at
    bool quiet = false;
};

// One module's render.
struct RenderJob {
    const char* input;
    std::string output;
    const char* timeline;
    int format;
    int64_t blocks;    // 0: until the song repeats
    bool until_repeat; // no length given
};

// Without a length, a render ends with the block in which the song first
// repeats (within 30 minutes). Raw PCM needs no length up front: the end is
// known once the repeating tick has run, which may be at the first frame of
// the block just mixed, and such a block is not kept. (A WAV states its
// length in the header, so there blocks was measured beforehand.)
bool render_keeps_block(const RenderJob& job, int64_t block) {
    if (job.blocks > 0) return block < job.blocks;
    int64_t frames = VLORP_XM_MAX_FRAMES;
    const int64_t repeat = player_repeat_frame();
    if (repeat >= 0 && repeat < VLORP_XM_MAX_FRAMES) frames = repeat;
    int64_t blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    return block < (blocks < 1 ? 1 : blocks);
}

// The one place that decides how long a render runs: asked before a block
// is mixed and again before it is written.
bool render_wants_block(const RenderJob& job, int64_t blocks_done) {
    return render_keeps_block(job, blocks_done);
}

// Only big-endian machines need it since the WAV header moved to os/wav.
[[maybe_unused]] void put_le(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = uint8_t(v >> (8 * i));
}

// ---- formats ----

// "wav, raw, flac, ..." for messages and help.
std::string format_list() {
    std::string list = "wav, raw";
    for (int i = 0; i < ENCODER_FORMAT_COUNT; i++)
        list += std::string(", ") + ENCODER_FORMATS[i].name;
    return list;
}

// The help, with the encoded formats this build offers.
void print_usage() {
    fputs(RENDER_USAGE, stdout);
    for (int i = 0; i < ENCODER_FORMAT_COUNT; i++) {
        std::string exts;
        for (const char* e : ENCODER_FORMATS[i].extensions)
            if (e) exts += std::string(exts.empty() ? "" : " ") + e;
        printf("  %-6s %-15s %s\n", ENCODER_FORMATS[i].name, exts.c_str(),
               ENCODER_FORMATS[i].description);
    }
    if (ENCODER_FORMAT_COUNT == 0) fputs("  (this build writes WAV and raw PCM only)\n", stdout);
}

bool format_by_name(const char* name, int* format) {
    if (!strcasecmp(name, "wav"))
        *format = FORMAT_WAV;
    else if (!strcasecmp(name, "raw") || !strcasecmp(name, "pcm"))
        *format = FORMAT_RAW;
    else {
        for (int i = 0; i < ENCODER_FORMAT_COUNT; i++)
            if (!strcasecmp(name, ENCODER_FORMATS[i].name)) {
                *format = i;
                return true;
            }
        return false;
    }
    return true;
}

// The extension of the last part of a path ("" for none).
std::string extension_of(const std::string& path) {
    const size_t slash = path.find_last_of(OS_PATH_SEPARATORS);
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    if (dot == 0 || (slash != std::string::npos && dot == slash + 1)) return ""; // ".hidden"
    return path.substr(dot);
}

// The format an output's name asks for. False (with a message) for an
// extension no format has.
bool format_of(const RenderOptions& o, const std::string& output, int* format) {
    if (o.format_name) return format_by_name(o.format_name, format);
    if (output == "-") {
        *format = FORMAT_RAW;
        return true;
    }
    const std::string ext = extension_of(output);
    if (ext.empty() || !strcasecmp(ext.c_str(), ".wav")) {
        *format = FORMAT_WAV;
        return true;
    }
    if (!strcasecmp(ext.c_str(), ".raw") || !strcasecmp(ext.c_str(), ".pcm")) {
        *format = FORMAT_RAW;
        return true;
    }
    for (int i = 0; i < ENCODER_FORMAT_COUNT; i++)
        for (const char* e : ENCODER_FORMATS[i].extensions)
            if (e && !strcasecmp(ext.c_str(), e)) {
                *format = i;
                return true;
            }
    vlorp_xm_usage_error("render",
                         "%s: no format for '%s' (formats: %s; or name one with --format)",
                         output.c_str(), ext.c_str(), format_list().c_str());
    return false;
}

// ---- progress ----

void show_progress(int64_t done, int64_t total, bool last) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, " %.1f s", double(done) * BLOCK_FRAMES / MIX_RATE);
    const ProgressEnd end = last ? PROGRESS_NEWLINE : PROGRESS_KEEP;
    if (total <= 0) { // until the song repeats: the length shows at the end
        progress_draw(std::string("rendering") + seconds, end);
        return;
    }
    progress_draw(progress_text({"rendering", ' ', true}, done, total, seconds), end);
}

void on_signal(int) {
    interrupted = 1;
}

// ---- options ----

enum : int { OPT_BLOCKS = 256, OPT_TIMELINE, OPT_FORMAT };

bool parse_options(int argc, char** argv, RenderOptions& o, int* status) {
    static const option longs[] = {{"output", required_argument, nullptr, 'o'},
                                   {"output-dir", required_argument, nullptr, 'O'},
                                   {"time", required_argument, nullptr, 't'},
                                   {"start", required_argument, nullptr, 's'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"blocks", required_argument, nullptr, OPT_BLOCKS},
                                   {"timeline", required_argument, nullptr, OPT_TIMELINE},
                                   {"format", required_argument, nullptr, OPT_FORMAT},
                                   {}};
    XmOptions parse;
    vlorp_xm_options_begin(&parse, "render", "o:O:t:s:qh", longs);
    const char* v;
    *status = 2;
    for (int c; (c = vlorp_xm_option(&parse, argc, argv, &v)) != -1;) {
        long long n = 0;
        switch (c) {
        case 'h':
            print_usage();
            *status = 0;
            return false;
        case 'o':
            o.output = v;
            break;
        case 'O':
            o.output_dir = v;
            break;
        case OPT_TIMELINE:
            o.timeline = v;
            break;
        case 'q':
            o.quiet = true;
            break;
        case OPT_FORMAT: {
            int format;
            if (!format_by_name(v, &format)) {
                vlorp_xm_usage_error("render", "--format: '%s' is none of %s", v,
                                     format_list().c_str());
                return false;
            }
            o.format_name = v;
            break;
        }
        case 't':
            if (!vlorp_xm_number(v, 1e-9, MAX_SECONDS, &o.seconds)) {
                vlorp_xm_usage_error(
                    "render", "-t wants seconds above 0 and at most %.0f (116 days), not '%s'",
                    MAX_SECONDS, v);
                return false;
            }
            break;
        case OPT_BLOCKS:
            if (!vlorp_xm_integer(v, 1, MAX_BLOCKS, &n)) {
                vlorp_xm_usage_error("render", "--blocks wants a count from 1 to %lld, not '%s'",
                                     (long long)MAX_BLOCKS, v);
                return false;
            }
            o.blocks = n;
            break;
        case 's':
            if (!vlorp_xm_integer(v, 0, 255, &o.start)) {
                vlorp_xm_usage_error("render", "-s wants an order position from 0 to 255, not '%s'",
                                     v);
                return false;
            }
            break;
        default:
            return false;
        }
    }
    const int modules = argc - vlorp_xm_operands();
    const char* problem = nullptr;
    if (modules < 1)
        problem = "no module named";
    else if (o.seconds > 0 && o.blocks)
        problem = "-t and --blocks exclude each other";
    else if (o.output && o.output_dir)
        problem = "-o and -O exclude each other";
    else if (modules > 1 && o.output)
        problem = "-o names one output; for several modules use -O DIR";
    else if (modules > 1 && o.timeline)
        problem = "--timeline takes one module";
    if (problem) {
        vlorp_xm_usage_error("render", "%s", problem);
        return false;
    }
    if (o.seconds > 0) o.blocks = int64_t(std::ceil(o.seconds * MIX_RATE / BLOCK_FRAMES));
    return true;
}

// The output of one module: -o, or NAME.EXT beside it or in -O's folder.
bool output_name(const RenderOptions& o, const char* input, std::string* output) {
    if (o.output) {
        *output = o.output;
        return true;
    }
    if (!strcmp(input, "-")) {
        vlorp_xm_usage_error("render", "standard input needs an output named with -o");
        return false;
    }
    std::string name = input;
    const size_t slash = name.find_last_of(OS_PATH_SEPARATORS);
    if (o.output_dir && slash != std::string::npos) name = name.substr(slash + 1);
    const std::string ext = extension_of(name);
    if (!ext.empty()) name.resize(name.size() - ext.size());
    int format = FORMAT_WAV;
    if (o.format_name) format_by_name(o.format_name, &format);
    name += format == FORMAT_WAV   ? ".wav"
            : format == FORMAT_RAW ? ".raw"
                                   : ENCODER_FORMATS[format].extensions[0];
    if (o.output_dir) {
        std::string dir = o.output_dir;
        if (!dir.empty() && !strchr(OS_PATH_SEPARATORS, dir.back())) dir += '/';
        name = dir + name;
    }
    *output = name;
    return true;
}

// Refuses, before anything is written, outputs that are the module itself
// or each other, by whatever name.
bool outputs_distinct(const RenderJob& job) {
    const char* clash = nullptr;
    const char* other = nullptr;
    const char* output = job.output.c_str();
    if (outfile_same_file(job.input, true, output, false))
        clash = output, other = job.input;
    else if (job.timeline && outfile_same_file(job.input, true, job.timeline, false))
        clash = job.timeline, other = job.input;
    else if (job.timeline && outfile_same_file(output, false, job.timeline, false))
        clash = job.timeline, other = output;
    if (!clash) return true;
    if (!strcmp(clash, "-"))
        vlorp_xm_usage_error("render",
                             "the sound and the timeline cannot both go to standard output");
    else if (other == job.input)
        vlorp_xm_usage_error("render", "%s is the module %s itself; refusing to overwrite it",
                             clash, other);
    else
        vlorp_xm_usage_error("render", "%s and %s are the same file", other, clash);
    return false;
}

// ---- one module ----

// Where an encoded format's bytes go while it is made: the output's own
// temporary file, or (for a pipe or device, which cannot be sought back
// into) a scratch file copied there at the end.
struct EncodedOutput {
    Encoder* encoder;
    FILE* file;
    std::string scratch;
};

bool encoded_open(EncodedOutput* e, int format, OutFile* out, std::string* error) {
    e->file = out->file;
    if (out->target.direct) {
        e->file = outfile_scratch(ENCODER_FORMATS[format].extensions[0], &e->scratch, error);
        if (!e->file) return false;
    }
    e->encoder = encoder_open(format, e->file, MIX_RATE, error);
    return e->encoder != nullptr;
}

// Finishes the encoding and, from a scratch file, copies it to the output.
bool encoded_finish(EncodedOutput* e, OutFile* out, bool ok, std::string* error) {
    if (e->encoder && !encoder_close(e->encoder, error)) ok = false;
    e->encoder = nullptr;
    if (e->scratch.empty()) return ok;
    fclose(e->file);
    FILE* in = ok ? fopen(e->scratch.c_str(), "rb") : nullptr;
    if (in) {
        char buffer[1 << 16];
        size_t n;
        errno = 0;
        while (ok && (n = fread(buffer, 1, sizeof buffer, in)) > 0)
            ok = fwrite(buffer, 1, n, out->file) == n;
        if (!ok || ferror(in)) {
            ok = false;
            *error = strerror(errno ? errno : EIO);
        }
        fclose(in);
    } else if (ok) {
        ok = false;
        *error = strerror(errno);
    }
    remove(e->scratch.c_str());
    return ok;
}

// Mixes the blocks into the open outputs; false with the reason (or
// *pipe_closed) on a write error.
bool render_blocks(const RenderJob& job, const RenderOptions& o, OutFile* pcm, OutFile* timeline,
                   EncodedOutput* encoded, int64_t* done, std::string* error) {
    const bool progress = !o.quiet && os_is_terminal(2);
    bool ok = true;
    uint8_t bytes[BLOCK_FRAMES * 4];
    TimeInfo info{};
    errno = 0;
    while (ok && !interrupted && render_wants_block(job, *done)) {
        const int16_t* block = output_offline_mix_block(&info);
        if (!render_wants_block(job, *done)) break; // the song repeated at its first frame
        if (encoded->encoder) {
            ok = encoder_write(encoded->encoder, block, BLOCK_FRAMES, error);
            if (!ok) *error = job.output + ": " + *error;
        } else {
            const void* le = block;
            if constexpr (std::endian::native != std::endian::little) {
                for (int32_t i = 0; i < 2 * BLOCK_FRAMES; i++)
                    put_le(bytes + 2 * i, uint16_t(block[i]), 2);
                le = bytes;
            }
            ok = fwrite(le, 1, sizeof bytes, pcm->file) == sizeof bytes;
            if (!ok) *error = job.output + ": " + strerror(errno ? errno : EIO);
        }
        if (ok && timeline->file) {
            ok = fprintf(timeline->file, "%lld\t%u\t%u\t%d\n", (long long)*done,
                         unsigned(info.order), unsigned(info.row), int(info.elapsed_ms)) > 0;
            if (!ok) *error = std::string(job.timeline) + ": " + strerror(errno ? errno : EIO);
        }
        (*done)++;
        if (progress && (*done % 256 == 0)) show_progress(*done, job.blocks, false);
    }
    if (progress) show_progress(*done, job.blocks, true);
    return ok;
}

// Loads the module with its start order set; null (said why) on failure.
Song* load_at_start(const RenderJob& job, const RenderOptions& o, const std::string& bytes,
                    bool warn) {
    Song* song = vlorp_xm_load(job.input, bytes, warn);
    if (song && o.start >= 0 && !song_set_start_order(song, int(o.start))) {
        fprintf(stderr, "vlorp-xm: %s: no order position %lld (the song has %d)\n",
                !strcmp(job.input, "-") ? "standard input" : job.input, o.start, song->song_length);
        song_free(song);
        return nullptr;
    }
    return song;
}

// The length of a song rendered until it repeats, for a WAV header that
// comes first: a silent run on a copy (effects may change samples while the
// song runs). False (said why) when the module does not load.
bool render_measure(RenderJob& job, const RenderOptions& o, const std::string& bytes,
                    bool* repeats) {
    Song* probe = load_at_start(job, o, bytes, false);
    if (!probe) return false;
    int64_t frames = song_length_frames(probe, VLORP_XM_MAX_FRAMES, repeats);
    song_free(probe);
    job.blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    if (job.blocks < 1) job.blocks = 1;
    return true;
}

// Opens the sound, the timeline and the encoder; false (said why, nothing
// left) on failure.
bool render_open(const RenderJob& job, OutFile* pcm, OutFile* timeline, EncodedOutput* encoded) {
    std::string error;
    bool opened = outfile_open(pcm, job.output.c_str(), &error);
    if (!opened) error = job.output + ": " + error;
    if (opened && job.timeline && !outfile_open(timeline, job.timeline, &error)) {
        error = std::string(job.timeline) + ": " + error;
        opened = false;
    }
    if (opened && job.format >= 0 && !encoded_open(encoded, job.format, pcm, &error)) {
        error = job.output + ": " + error;
        opened = false;
    }
    if (!opened) {
        fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        outfile_discard(pcm);
        outfile_discard(timeline);
    }
    return opened;
}

// Puts the finished outputs in place, or takes them away after a failure or
// an interruption; the exit status.
int render_close(const RenderJob& job, OutFile* pcm, OutFile* timeline, bool ok, int failed_errno,
                 const std::string& failure) {
    std::string error = failure;
    const bool pipe_closed = !ok && failed_errno == EPIPE;
    if (!ok || interrupted) {
        if (!ok && !interrupted && !pipe_closed) fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        outfile_discard(pcm);
        outfile_discard(timeline);
        return interrupted ? 130 : pipe_closed ? VLORP_XM_PIPE_CLOSED : 1;
    }
    if (!outfile_commit(timeline, &error)) {
        if (errno != EPIPE) fprintf(stderr, "vlorp-xm: %s: %s\n", job.timeline, error.c_str());
        outfile_discard(pcm);
        return errno == EPIPE ? VLORP_XM_PIPE_CLOSED : 1;
    }
    if (!outfile_commit(pcm, &error)) {
        if (errno != EPIPE)
            fprintf(stderr, "vlorp-xm: %s: %s\n", job.output.c_str(), error.c_str());
        return errno == EPIPE ? VLORP_XM_PIPE_CLOSED : 1;
    }
    return 0;
}

// The line said on success.
void render_summary(const RenderJob& job, const RenderOptions& o, const OutFile& pcm,
                    const OutFile& timeline, int64_t done, bool repeats) {
    // Standard output carries one thing at a time: with sound or a timeline
    // there (or in any device or pipe), the summary goes to stderr.
    const bool direct = pcm.target.direct || (job.timeline && timeline.target.direct);
    fprintf(direct ? stderr : stdout, "%slength %.3f s, %lld blocks%s\n",
            o.output ? "" : (job.output + ": ").c_str(), double(done) * BLOCK_FRAMES / MIX_RATE,
            (long long)done,
            !job.until_repeat ? ""
            : repeats         ? " (until the song repeats)"
                              : " (the song does not repeat within 30 minutes)");
}

int render_one(RenderJob& job, const RenderOptions& o) {
    const char* output = job.output.c_str();
    std::string bytes;
    if (!vlorp_xm_read(job.input, &bytes)) return 1;
    bool repeats = false;
    if (job.until_repeat && job.format == FORMAT_WAV && !render_measure(job, o, bytes, &repeats))
        return 1;
    if (job.format == FORMAT_WAV && uint64_t(job.blocks) * BLOCK_FRAMES * 4 > WAV_MAX_DATA) {
        fprintf(stderr, "vlorp-xm: %s: too long for a WAV file (4 GiB); write .raw instead\n",
                output);
        return 1;
    }
    Song* song = load_at_start(job, o, bytes, true);
    if (!song) return 1;

    OutFile pcm{}, timeline{};
    EncodedOutput encoded{};
    if (!render_open(job, &pcm, &timeline, &encoded)) {
        song_free(song);
        return 1;
    }
    // Large writes: a block is only 3.5 KB.
    static char pcm_buffer[1 << 18];
    if (!encoded.encoder) setvbuf(pcm.file, pcm_buffer, _IOFBF, sizeof pcm_buffer);

    // The length is known before the first block, so the header is final at
    // once and a pipe or device gets a complete WAV without seeking back.
    std::string error;
    bool ok = true;
    if (job.format == FORMAT_WAV) {
        uint8_t header[WAV_HEADER_BYTES];
        wav_header_stereo16(header, uint64_t(job.blocks) * BLOCK_FRAMES * 4, MIX_RATE);
        ok = fwrite(header, 1, sizeof header, pcm.file) == sizeof header;
        if (!ok) error = job.output + ": " + strerror(errno ? errno : EIO);
    }
    output_offline_start(song);
    int64_t done = 0;
    if (ok) ok = render_blocks(job, o, &pcm, &timeline, &encoded, &done, &error);
    int failed_errno = ok ? 0 : errno;
    if (job.until_repeat && job.format != FORMAT_WAV)
        repeats = player_repeat_frame() >= 0 && player_repeat_frame() < VLORP_XM_MAX_FRAMES;
    player_stop(song);
    song_free(song);
    if (!encoded_finish(&encoded, &pcm, ok && !interrupted, &error) && ok) {
        ok = false;
        failed_errno = errno;
        error = job.output + ": " + error;
    }
    const int status = render_close(job, &pcm, &timeline, ok, failed_errno, error);
    if (status == 0 && !o.quiet) render_summary(job, o, pcm, timeline, done, repeats);
    return status;
}

} // namespace

int cmd_render(int argc, char** argv) {
    RenderOptions o;
    int status;
    if (!parse_options(argc, argv, o, &status)) return status;
    // Every module's output is named and checked before the first is written.
    std::vector<RenderJob> jobs;
    for (int i = vlorp_xm_operands(); i < argc; i++) {
        RenderJob job{argv[i], "", o.timeline, FORMAT_WAV, o.blocks, o.blocks == 0};
        if (!output_name(o, argv[i], &job.output) || !outputs_distinct(job) ||
            !format_of(o, job.output, &job.format))
            return 2;
        for (const RenderJob& earlier : jobs)
            if (outfile_same_file(earlier.output.c_str(), false, job.output.c_str(), false))
                return vlorp_xm_usage_error("render", "%s and %s would write the same file %s",
                                            earlier.input, job.input, job.output.c_str());
        jobs.push_back(job);
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    status = 0;
    for (RenderJob& job : jobs) {
        const int s = render_one(job, o);
        if (s > status) status = s;
        if (interrupted || s == VLORP_XM_PIPE_CLOSED) break;
    }
    bool quiet;
    if (status == 0 && !vlorp_xm_stdout_ok(&quiet)) status = quiet ? VLORP_XM_PIPE_CLOSED : 1;
    return status;
}
