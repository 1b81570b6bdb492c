// vlorp-xm render's outputs: the sound (WAV, raw or encoded) and the
// timeline. Regular files are written under a temporary name and renamed at
// the end; an encoded format bound for a pipe or device is made in a scratch
// file first, as an encoder may seek back.
#include "tools/vlorp_xm.h"
#include "tools/xm_render.h"

#include <cerrno>
#include <cstring>

namespace {

bool encoded_open(EncodedOutput* e, int format, OutFile* out, std::string* error) {
    e->file = out->file;
    if (out->target.direct) {
        e->file = outfile_scratch(ENCODER_FORMATS[format].extensions[0], &e->scratch, error);
        if (!e->file) return false;
    }
    e->encoder = encoder_open(format, e->file, MIX_RATE, error);
    return e->encoder != nullptr;
}

} // namespace

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

int render_close(const RenderJob& job, OutFile* pcm, OutFile* timeline, bool ok, bool stopped,
                 int failed_errno, const std::string& failure) {
    std::string error = failure;
    const bool pipe_closed = !ok && failed_errno == EPIPE;
    if (!ok || stopped) {
        if (!ok && !stopped && !pipe_closed) fprintf(stderr, "vlorp-xm: %s\n", error.c_str());
        outfile_discard(pcm);
        outfile_discard(timeline);
        return stopped ? 130 : pipe_closed ? VLORP_XM_PIPE_CLOSED : 1;
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
