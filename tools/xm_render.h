// vlorp-xm render's pieces: the job list made from the command line, the
// output files and encoders, and the render loop (xm_render.cpp).
#pragma once
#include "os/outfile.h"
#include "tools/encoder.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int FORMAT_WAV = -1;
constexpr int FORMAT_RAW = -2; // 0 and above: ENCODER_FORMATS

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

// ---- the job list (render_jobs.cpp) ----

// Parses the command line into *o; false when there is nothing to render
// (help printed: *status 0; or an error said: *status 2).
bool render_parse_options(int argc, char** argv, RenderOptions& o, int* status);
// Names and checks every module's output before the first is written; false
// (said why) when one is refused.
bool render_job_list(int argc, char** argv, const RenderOptions& o, std::vector<RenderJob>* jobs);

// ---- the output files (render_files.cpp) ----

// Where an encoded format's bytes go while it is made: the output's own
// temporary file, or (for a pipe or device, which cannot be sought back
// into) a scratch file copied there at the end.
struct EncodedOutput {
    Encoder* encoder;
    FILE* file;
    std::string scratch;
};

// Finishes the encoding and, from a scratch file, copies it to the output.
bool encoded_finish(EncodedOutput* e, OutFile* out, bool ok, std::string* error);
// Opens the sound, the timeline and the encoder; false (said why, nothing
// left) on failure.
bool render_open(const RenderJob& job, OutFile* pcm, OutFile* timeline, EncodedOutput* encoded);
// Puts the finished outputs in place, or takes them away after a failure or
// an interruption (`stopped`); the exit status.
int render_close(const RenderJob& job, OutFile* pcm, OutFile* timeline, bool ok, bool stopped,
                 int failed_errno, const std::string& failure);
// The line said on success.
void render_summary(const RenderJob& job, const RenderOptions& o, const OutFile& pcm,
                    const OutFile& timeline, int64_t done, bool repeats);
