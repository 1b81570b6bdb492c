// Composes the show's soundtrack, "Brain Snack": an XM module of 19 patterns
// of 64 rows played once each (speed 5, 126 bpm: 99 ms a row, 6.35 s a
// pattern, 120.6 s in all), 8 channels, 10 instruments each with one 8-bit
// sample synthesised here. The score below is written in code against the
// show's timeline; see gen_module_score.cpp for the arrangement.
#include "assets/gen/gen_common.h"
#include "assets/gen/gen_module.h"

#include <cstdio>

// The file's exact size: the show was laid out for a module of this many bytes.
constexpr long MODULE_BYTES = 32877;

int main(int argc, char** argv) {
    const char* program = "vlorp-gen-module";
    GenArgs args =
        gen_parse_args(argc, argv, program, "soundtrack.xm",
                       "Composes the show's soundtrack: synthesises the samples and writes\n"
                       "the score as an XM module (8 channels, 19 patterns, 10 instruments).");
    if (!args.output) return args.exit_status;

    XmModuleDef m;
    m.name = "Brain Snack";
    m.tracker = "vlorp gen-module";
    m.channels = CHANNELS;
    m.flags = 1;
    m.speed = 5;
    m.bpm = 126;
    m.restart = 0;
    for (int i = 0; i < PATTERNS; i++) m.orders.push_back(uint8_t(i));
    m.patterns.resize(PATTERNS);
    for (XmPatternDef& p : m.patterns) {
        p.rows = ROWS;
        p.cells.resize(size_t(ROWS) * CHANNELS);
    }
    if (!score_write(m)) return 1;

    // Fit the file to its budget: compose with the shortest crash tail, then
    // lengthen the tail by what is left.
    m.instruments = make_instruments(0);
    long spare = MODULE_BYTES - long(xm_write(m).size());
    if (spare < 0) {
        fprintf(stderr, "%s: the module is %ld bytes over its budget of %ld\n", program, -spare,
                MODULE_BYTES);
        return 1;
    }
    m.instruments = make_instruments(int(spare));
    std::vector<uint8_t> bytes = xm_write(m);
    if (args.verbose) {
        size_t sample_bytes = 0;
        for (const XmInstrumentDef& ins : m.instruments)
            for (const XmSampleDef& s : ins.samples) sample_bytes += s.pcm.size();
        fprintf(stderr, "soundtrack.xm: %zu bytes (%zu of sample data, %ld spare in the crash)\n",
                bytes.size(), sample_bytes, spare);
    }
    return gen_write_file(program, args.output, bytes) ? 0 : 1;
}
