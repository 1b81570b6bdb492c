// vlorp-xm render's command line: its options, and the list of jobs with
// each module's output named, its format chosen and checked to harm nothing.
#include "os/os.h"
#include "tools/vlorp_xm.h"
#include "tools/xm_render.h"

#include <cmath>
#include <cstring>
#include <getopt.h>

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

// Lengths past these are typing errors, not songs: about 116 and 237 days.
constexpr double MAX_SECONDS = 1e7;
constexpr long long MAX_BLOCKS = 1000000000;

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

enum : int { OPT_BLOCKS = 256, OPT_TIMELINE, OPT_FORMAT };

const option RENDER_LONG_OPTIONS[] = {{"output", required_argument, nullptr, 'o'},
                                      {"output-dir", required_argument, nullptr, 'O'},
                                      {"time", required_argument, nullptr, 't'},
                                      {"start", required_argument, nullptr, 's'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"blocks", required_argument, nullptr, OPT_BLOCKS},
                                      {"timeline", required_argument, nullptr, OPT_TIMELINE},
                                      {"format", required_argument, nullptr, OPT_FORMAT},
                                      {}};

// Whether the options fit each other and the modules named; then the
// length in blocks.
bool options_consistent(int argc, RenderOptions& o) {
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

} // namespace

bool render_parse_options(int argc, char** argv, RenderOptions& o, int* status) {
    XmOptions parse;
    vlorp_xm_options_begin(&parse, "render", "o:O:t:s:qh", RENDER_LONG_OPTIONS);
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
    return options_consistent(argc, o);
}

bool render_job_list(int argc, char** argv, const RenderOptions& o, std::vector<RenderJob>* jobs) {
    for (int i = vlorp_xm_operands(); i < argc; i++) {
        RenderJob job{argv[i], "", o.timeline, FORMAT_WAV, o.blocks, o.blocks == 0};
        if (!output_name(o, argv[i], &job.output) || !outputs_distinct(job) ||
            !format_of(o, job.output, &job.format))
            return false;
        for (const RenderJob& earlier : *jobs)
            if (outfile_same_file(earlier.output.c_str(), false, job.output.c_str(), false)) {
                vlorp_xm_usage_error("render", "%s and %s would write the same file %s",
                                     earlier.input, job.input, job.output.c_str());
                return false;
            }
        jobs->push_back(job);
    }
    return true;
}
