// vlorp-xm render: mixes a song offline, block after block, through the
// same block filler the mixing thread uses, so the PCM is exactly what a
// listener hears from the looping buffer. Regular files are written under a
// temporary name and renamed at the end: an error never leaves half a file.
// Devices and pipes are written in place.
#include "music/output.h"
#include "os/os.h"
#include "os/outfile.h"
#include "os/wav.h"
#include "tools/vlorp_xm.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static const char* RENDER_USAGE =
    "usage: vlorp-xm render FILE.xm -o OUT [-t SECONDS | --blocks N] [--timeline OUT.tsv] [-q]\n"
    "\n"
    "Mixes FILE.xm offline into 16-bit stereo PCM at 44 100 Hz, in blocks of 884\n"
    "frames (20 ms), exactly as the player would play it.\n"
    "\n"
    "  -o OUT               output: a WAV file; raw little-endian PCM (left first)\n"
    "                       if OUT ends in .raw; raw PCM on standard output if '-'\n"
    "  -t SECONDS           length, rounded up to whole blocks (default: until the\n"
    "                       song first repeats, at most 30 minutes)\n"
    "  --blocks N           length in blocks\n"
    "  --timeline OUT.tsv   one line per block: block, order, row, elapsed_ms\n"
    "                       (tab-separated; order and row as the low 8 bits)\n"
    "  -q                   quiet: no progress display, nothing printed on success\n";

namespace {

constexpr uint64_t WAV_MAX_DATA = 0xFFFFFFFFull - 36;
// Lengths past these are typing errors, not songs: about 116 and 237 days.
constexpr double MAX_SECONDS = 1e7;
constexpr long long MAX_BLOCKS = 1000000000;

volatile std::sig_atomic_t interrupted = 0;

struct RenderOptions {
    const char* input = nullptr;
    const char* output = nullptr;
    const char* timeline = nullptr;
    int64_t blocks = 0;
    bool until_repeat = false; // no length given: until the song first repeats
    bool quiet = false;
};

// Without a length, a render ends with the block in which the song first
// repeats (within 30 minutes). Raw PCM needs no length up front: the end is
// known once the repeating tick has run, which may be at the first frame of
// the block just mixed, and such a block is not kept. (A WAV states its
// length in the header, so there blocks was measured beforehand.)
bool render_keeps_block(const RenderOptions& options, const Song* song, int64_t block) {
    if (options.blocks > 0) return block < options.blocks;
    int64_t frames = VLORP_XM_MAX_FRAMES;
    if (song->repeated && song->repeat_frame < VLORP_XM_MAX_FRAMES) frames = song->repeat_frame;
    int64_t blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    return block < (blocks < 1 ? 1 : blocks);
}

// The one place that decides how long a render runs: asked before a block
// is mixed and again before it is written.
bool render_wants_block(const RenderOptions& options, const Song* song, int64_t blocks_done) {
    return render_keeps_block(options, song, blocks_done);
}

// Only big-endian machines need it since the WAV header moved to os/wav.
[[maybe_unused]] void put_le(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = uint8_t(v >> (8 * i));
}

bool ends_with(const char* s, const char* tail) {
    size_t n = strlen(s), m = strlen(tail);
    return n >= m && !strcasecmp(s + n - m, tail);
}

void show_progress(int64_t done, int64_t total, bool last) {
    const int width = 30;
    if (total <= 0) { // until the song repeats: the length shows at the end
        fprintf(stderr, "\rrendering %.1f s", double(done) * BLOCK_FRAMES / MIX_RATE);
        if (last) fputc('\n', stderr);
        fflush(stderr);
        return;
    }
    int pct = total ? int(done * 100 / total) : 100;
    int fill = total ? int(done * width / total) : width;
    double seconds = double(done) * BLOCK_FRAMES / MIX_RATE;
    fprintf(stderr, "\rrendering %3d%% [%.*s%*s] %.1f s", pct, fill,
            "##############################", width - fill, "", seconds);
    if (last) fputc('\n', stderr);
    fflush(stderr);
}

void on_signal(int) {
    interrupted = 1;
}

bool parse_options(int argc, char** argv, RenderOptions& o) {
    double seconds = -1;
    for (int i = 0; i < argc; i++) {
        const char* a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "vlorp-xm render: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (!strcmp(a, "-o")) {
            if (!(o.output = value(a))) return false;
        } else if (!strcmp(a, "--timeline")) {
            if (!(o.timeline = value(a))) return false;
        } else if (!strcmp(a, "-t")) {
            const char* v = value(a);
            if (!v) return false;
            char* end;
            seconds = strtod(v, &end);
            if (*end || !(seconds > 0) || seconds > MAX_SECONDS) {
                fprintf(stderr,
                        "vlorp-xm render: -t wants seconds above 0 and at most %.0f "
                        "(116 days), not '%s'\n",
                        MAX_SECONDS, v);
                return false;
            }
        } else if (!strcmp(a, "--blocks")) {
            const char* v = value(a);
            if (!v) return false;
            char* end;
            long long n = strtoll(v, &end, 10);
            if (*end || n <= 0 || n > MAX_BLOCKS) {
                fprintf(stderr,
                        "vlorp-xm render: --blocks wants a count from 1 to %lld, not '%s'\n",
                        (long long)MAX_BLOCKS, v);
                return false;
            }
            o.blocks = n;
        } else if (!strcmp(a, "-q")) {
            o.quiet = true;
        } else if (a[0] == '-' && a[1]) {
            fprintf(stderr, "vlorp-xm render: unknown option '%s'\n", a);
            return false;
        } else if (!o.input) {
            o.input = a;
        } else {
            fprintf(stderr, "vlorp-xm render: one module at a time ('%s')\n", a);
            return false;
        }
    }
    if (!o.input || !o.output) {
        fprintf(stderr, "vlorp-xm render: %s\n",
                !o.input ? "no module named" : "no output named (-o)");
        return false;
    }
    if (seconds > 0 && o.blocks) {
        fprintf(stderr, "vlorp-xm render: -t and --blocks exclude each other\n");
        return false;
    }
    if (!o.blocks && seconds < 0) o.until_repeat = true;
    if (!o.blocks && seconds > 0) o.blocks = int64_t(std::ceil(seconds * MIX_RATE / BLOCK_FRAMES));
    return true;
}

} // namespace

int cmd_render(int argc, char** argv) {
    if (vlorp_xm_wants_help(argc, argv)) {
        fputs(RENDER_USAGE, stdout);
        return 0;
    }
    RenderOptions o;
    if (!parse_options(argc, argv, o)) {
        fputs("\n", stderr);
        fputs(RENDER_USAGE, stderr);
        return 2;
    }
    bool repeats = false;
    const bool raw = !strcmp(o.output, "-") || ends_with(o.output, ".raw");
    if (o.until_repeat && !raw) {
        // The header comes first: measure the length with a silent run, on
        // a copy (effects may change samples while the song runs).
        Song* probe = vlorp_xm_load(o.input);
        if (!probe) return 1;
        int64_t frames = song_length_frames(probe, VLORP_XM_MAX_FRAMES, &repeats);
        song_free(probe);
        o.blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
        if (o.blocks < 1) o.blocks = 1;
    }
    const uint64_t frame_bytes = 4;
    if (!raw && uint64_t(o.blocks) * BLOCK_FRAMES * frame_bytes > WAV_MAX_DATA) {
        fprintf(stderr, "vlorp-xm: %s: too long for a WAV file (4 GiB); write .raw instead\n",
                o.output);
        return 1;
    }

    Song* song = vlorp_xm_load(o.input);
    if (!song) return 1;

    std::string error;
    OutFile pcm{}, timeline{};
    if (!outfile_open(&pcm, o.output, &error)) {
        fprintf(stderr, "vlorp-xm: %s: %s\n", o.output, error.c_str());
        song_free(song);
        return 1;
    }
    if (o.timeline && !outfile_open(&timeline, o.timeline, &error)) {
        fprintf(stderr, "vlorp-xm: %s: %s\n", o.timeline, error.c_str());
        outfile_discard(&pcm);
        song_free(song);
        return 1;
    }
    // Large writes: a block is only 3.5 KB.
    static char pcm_buffer[1 << 18];
    setvbuf(pcm.file, pcm_buffer, _IOFBF, sizeof pcm_buffer);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
#ifdef SIGPIPE                     // Windows has neither signal: there the writes just fail
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error
    std::signal(SIGXFSZ, SIG_IGN); // so is a file-size limit: report it, never die half-written
#endif

    // The length is known before the first block, so the header is final at
    // once and a pipe or device gets a complete WAV without seeking back.
    uint8_t header[WAV_HEADER_BYTES];
    bool ok = true;
    if (!raw) {
        wav_header_stereo16(header, uint64_t(o.blocks) * BLOCK_FRAMES * frame_bytes, MIX_RATE);
        ok = fwrite(header, 1, sizeof header, pcm.file) == sizeof header;
    }
    const bool progress = !o.quiet && os_is_terminal(2);
    output_offline_start(song);
    uint8_t bytes[BLOCK_FRAMES * 4];
    int64_t done = 0;
    TimeInfo info{};
    while (ok && !interrupted && render_wants_block(o, song, done)) {
        const int16_t* block = output_offline_mix_block(&info);
        if (!render_wants_block(o, song, done)) break; // the song repeated at its first frame
        const void* le = block;
        if constexpr (std::endian::native != std::endian::little) {
            for (int32_t i = 0; i < 2 * BLOCK_FRAMES; i++)
                put_le(bytes + 2 * i, uint16_t(block[i]), 2);
            le = bytes;
        }
        ok = fwrite(le, 1, sizeof bytes, pcm.file) == sizeof bytes;
        if (ok && timeline.file)
            ok = fprintf(timeline.file, "%lld\t%u\t%u\t%d\n", (long long)done, unsigned(info.order),
                         unsigned(info.row), int(info.elapsed_ms)) > 0;
        done++;
        if (progress && (done % 256 == 0)) show_progress(done, o.blocks, false);
    }
    if (!ok) error = strerror(errno ? errno : EIO);
    if (o.until_repeat && raw) repeats = song->repeated && song->repeat_frame < VLORP_XM_MAX_FRAMES;
    player_stop(song);
    song_free(song);
    if (progress) show_progress(done, o.blocks, true);

    if (!ok || interrupted) {
        if (!ok) fprintf(stderr, "vlorp-xm: %s: %s\n", o.output, error.c_str());
        outfile_discard(&pcm);
        outfile_discard(&timeline);
        return interrupted ? 130 : 1;
    }
    if (!outfile_commit(&timeline, &error)) {
        fprintf(stderr, "vlorp-xm: %s: %s\n", o.timeline, error.c_str());
        outfile_discard(&pcm);
        return 1;
    }
    if (!outfile_commit(&pcm, &error)) {
        fprintf(stderr, "vlorp-xm: %s: %s\n", o.output, error.c_str());
        return 1;
    }
    if (o.quiet) return 0;
    fprintf(pcm.target.direct ? stderr : stdout, "length %.3f s, %lld blocks%s\n",
            double(done) * BLOCK_FRAMES / MIX_RATE, (long long)done,
            !o.until_repeat ? ""
            : repeats       ? " (until the song repeats)"
                            : " (the song does not repeat within 30 minutes)");
    return 0;
}
