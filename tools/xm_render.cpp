// vlorp-xm render: mixes a song offline, block after block, through the
// library's render (the same block filler its mixing thread uses), so the
// PCM is exactly what a listener hears from the looping buffer. Regular
// files are written under a temporary name and renamed at the end: an
// error never leaves half a file. Devices and pipes are written in place.
#include "os/os.h"
#include "os/progress.h"
#include "os/wav.h"
#include "tools/vlorp_xm.h"
#include "tools/xm_render.h"

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

constexpr uint64_t WAV_MAX_DATA = 0xFFFFFFFFull - 36;

volatile std::sig_atomic_t interrupted = 0;

// Without a length, a render ends with the block in which the song first
// repeats (within 30 minutes): the block that begins at or after the
// repeat is not kept, but the first block always is. Raw PCM needs no
// length up front: the end is known once the repeating tick has run. (A WAV
// states its length in the header, so there blocks was measured beforehand.)
// The one place that decides how long a render runs.
bool render_keeps_block(const RenderJob& job, int64_t block, const vlorp_xm_block_info& info) {
    if (job.blocks > 0) return block < job.blocks;
    const int64_t limit = (VLORP_XM_MAX_FRAMES + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    return block == 0 || (!info.past_end && block < limit);
}

// Only big-endian machines need it since the WAV header moved to os/wav.
[[maybe_unused]] void put_le(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = uint8_t(v >> (8 * i));
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

// Sound for a file goes out in batches of blocks mixed straight into one
// buffer, so a block is written without being copied (it is only 3.5 KB).
constexpr int32_t BATCH_BLOCKS = 16;

// Writes the first `blocks` blocks of the batch, little-endian.
bool write_batch(int16_t* batch, int32_t blocks, FILE* file) {
    const size_t samples = size_t(blocks) * BLOCK_FRAMES * 2;
    if constexpr (std::endian::native != std::endian::little) {
        for (size_t i = 0; i < samples; i++)
            put_le(reinterpret_cast<uint8_t*>(batch + i), uint16_t(batch[i]), 2);
    }
    return blocks == 0 || fwrite(batch, sizeof(int16_t) * samples, 1, file) == 1;
}

// Mixes the blocks into the open outputs; false with the reason (or
// *pipe_closed) on a write error. *repeated: the render ended where the
// song repeats.
bool render_blocks(const RenderJob& job, const RenderOptions& o, vlorp_xm_module* module,
                   OutFile* pcm, OutFile* timeline, EncodedOutput* encoded, int64_t* done,
                   bool* repeated, std::string* error) {
    const bool progress = !o.quiet && os_is_terminal(2);
    bool ok = true;
    static int16_t batch[BATCH_BLOCKS * BLOCK_FRAMES * 2];
    int32_t batched = 0;
    vlorp_xm_block_info info{};
    errno = 0;
    while (ok && !interrupted && (job.blocks == 0 || *done < job.blocks)) {
        int16_t* block = batch + size_t(batched) * BLOCK_FRAMES * 2;
        if (vlorp_xm_render(module, block, 1, &info) != 1) break;
        if (!render_keeps_block(job, *done, info)) {
            *repeated = info.past_end;
            break;
        }
        if (encoded->encoder) {
            ok = encoder_write(encoded->encoder, block, BLOCK_FRAMES, error);
            if (!ok) *error = job.output + ": " + *error;
        } else if (++batched == BATCH_BLOCKS) {
            ok = write_batch(batch, batched, pcm->file);
            batched = 0;
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
    if (ok && !write_batch(batch, batched, pcm->file)) {
        ok = false;
        *error = job.output + ": " + strerror(errno ? errno : EIO);
    }
    if (progress) show_progress(*done, job.blocks, true);
    return ok;
}

int32_t start_order(const RenderOptions& o) {
    return o.start >= 0 ? int32_t(o.start) : 0;
}

// Loads the module and starts its render at the start order, before asking
// what it holds: asked while it renders, the library does not run the song
// to measure its length, which a render needs only for a WAV header
// (render_measure). `warn`: says if it is cut short. Null (said why) on
// failure.
vlorp_xm_module* load_for_render(const RenderJob& job, const RenderOptions& o,
                                 const std::string& bytes, vlorp_xm_info* info, bool warn) {
    vlorp_xm_module* module = vlorp_xm_load(job.input, bytes, nullptr);
    if (!module) return nullptr;
    const bool started = vlorp_xm_render_start(module, start_order(o)) == VLORP_XM_OK;
    vlorp_xm_get_info(module, info);
    if (warn) vlorp_xm_warn_cut(job.input, *info);
    if (started && (o.start < 0 || o.start < info->orders)) return module;
    if (started) vlorp_xm_render_stop(module);
    fprintf(stderr, "vlorp-xm: %s: no order position %lld (the song has %d)\n",
            vlorp_xm_input_name(job.input), o.start, int(info->orders));
    vlorp_xm_free(module);
    return nullptr;
}

// Ends a render that has not run, and lets the module go.
void render_abandon(vlorp_xm_module* module) {
    vlorp_xm_render_stop(module);
    vlorp_xm_free(module);
}

// The length of a song rendered until it repeats, for a WAV header that
// comes first: a silent run through the song from the start order, between
// two starts of the render (the library measures only while nothing renders).
void render_measure(RenderJob& job, const RenderOptions& o, vlorp_xm_module* module,
                    bool* repeats) {
    int64_t frames = 0;
    uint8_t repeated = 0;
    vlorp_xm_render_stop(module);
    vlorp_xm_get_length(module, start_order(o), &frames, &repeated);
    vlorp_xm_render_start(module, start_order(o));
    *repeats = repeated;
    job.blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    if (job.blocks < 1) job.blocks = 1;
}

// Renders one module into its outputs; the exit status.
int render_one(RenderJob& job, const RenderOptions& o) {
    const char* output = job.output.c_str();
    std::string bytes;
    if (!vlorp_xm_read(job.input, &bytes)) return 1;
    // A length given is checked before the module loads; a length measured
    // needs it loaded, and the module is said to be cut short only once
    // the length is known to fit.
    const bool measure = job.until_repeat && job.format == FORMAT_WAV;
    vlorp_xm_info info;
    vlorp_xm_module* module = nullptr;
    bool repeats = false;
    if (measure) {
        module = load_for_render(job, o, bytes, &info, false);
        if (!module) return 1;
        render_measure(job, o, module, &repeats);
    }
    if (job.format == FORMAT_WAV && uint64_t(job.blocks) * BLOCK_FRAMES * 4 > WAV_MAX_DATA) {
        fprintf(stderr, "vlorp-xm: %s: too long for a WAV file (4 GiB); write .raw instead\n",
                output);
        if (module) render_abandon(module);
        return 1;
    }
    if (measure) vlorp_xm_warn_cut(job.input, info);
    if (!measure && !(module = load_for_render(job, o, bytes, &info, true))) return 1;

    OutFile pcm{}, timeline{};
    EncodedOutput encoded{};
    if (!render_open(job, &pcm, &timeline, &encoded)) {
        render_abandon(module);
        return 1;
    }
    // The sound goes out in large batches of its own (render_blocks).
    if (!encoded.encoder) setvbuf(pcm.file, nullptr, _IONBF, 0);

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
    int64_t done = 0;
    bool repeated = false;
    if (ok) ok = render_blocks(job, o, module, &pcm, &timeline, &encoded, &done, &repeated, &error);
    int failed_errno = ok ? 0 : errno;
    if (job.until_repeat && job.format != FORMAT_WAV) repeats = repeated;
    vlorp_xm_render_stop(module);
    vlorp_xm_free(module);
    if (!encoded_finish(&encoded, &pcm, ok && !interrupted, &error) && ok) {
        ok = false;
        failed_errno = errno;
        error = job.output + ": " + error;
    }
    const int status = render_close(job, &pcm, &timeline, ok, interrupted, failed_errno, error);
    if (status == 0 && !o.quiet) render_summary(job, o, pcm, timeline, done, repeats);
    return status;
}

} // namespace

int cmd_render(int argc, char** argv) {
    RenderOptions o;
    int status;
    if (!render_parse_options(argc, argv, o, &status)) return status;
    // Every module's output is named and checked before the first is written.
    std::vector<RenderJob> jobs;
    if (!render_job_list(argc, argv, o, &jobs)) return 2;
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
