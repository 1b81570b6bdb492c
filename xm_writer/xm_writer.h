// Assembles XM module files in memory from plain descriptions. Used by the
// tests (to make exactly the file a case needs) and by the soundtrack
// generator. Writes real XM bytes: packed patterns, delta-coded samples.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct XmCell {
    uint8_t note = 0; // 1..96, 97 = key off
    uint8_t instrument = 0;
    uint8_t volume = 0;
    uint8_t effect = 0;
    uint8_t param = 0;
};

struct XmPatternDef {
    int rows = 64;
    std::vector<XmCell> cells; // rows * channels, row-major; may be empty (all empty cells)
    // When non-empty, written as the packed data verbatim (loader tests).
    std::vector<uint8_t> raw_data;
    bool write_no_data = false; // packed size 0: no cell bytes at all
};

struct XmEnvelope {
    uint16_t x[12] = {};
    uint16_t y[12] = {};
    uint8_t point_count = 0;
    uint8_t sustain = 0;
    uint8_t loop_start = 0;
    uint8_t loop_end = 0;
    uint8_t type = 0; // bit 0 on, bit 1 sustain, bit 2 loop
};

struct XmSampleDef {
    std::vector<int16_t> pcm; // sample values; 8-bit samples use -128..127
    int bits = 8;
    uint32_t loop_start = 0;  // in samples
    uint32_t loop_length = 0; // in samples
    uint8_t loop = 0;         // 0 none, 1 forward, 2 ping-pong (the file's type bits)
    uint8_t volume = 64;
    int8_t finetune = 0;
    uint8_t panning = 128;
    int8_t relative_note = 0;
    std::string name;
    // Raw header overrides (bytes) for malformed-file tests; -1 = derived.
    int64_t header_length_bytes = -1;
    int64_t header_loop_start_bytes = -1;
    int64_t header_loop_length_bytes = -1;
    int type_byte = -1;
    bool delta = true; // delta-code the data as the format requires
};

struct XmInstrumentDef {
    std::string name;
    std::vector<XmSampleDef> samples;
    uint8_t keymap[96] = {};
    XmEnvelope volume_envelope;
    XmEnvelope panning_envelope;
    uint8_t vibrato_type = 0, vibrato_sweep = 0, vibrato_depth = 0, vibrato_rate = 0;
    uint16_t fadeout = 0;
    int64_t header_size = -1;       // -1: 263 with samples, 29 without
    int declared_sample_count = -1; // -1: samples.size()
};

struct XmModuleDef {
    std::string name = "test";
    std::string tracker = "vlorp xm writer";
    int channels = 4;
    uint16_t flags = 1; // linear frequency table
    uint16_t speed = 6;
    uint16_t bpm = 125;
    uint16_t restart = 0;
    std::vector<uint8_t> orders; // written into the 256-entry table
    int song_length = -1;        // -1: orders.size()
    uint32_t header_size = 276;  // from offset 60
    int declared_pattern_count = -1;
    std::vector<XmPatternDef> patterns;
    std::vector<XmInstrumentDef> instruments;
    int declared_instrument_count = -1;
};

std::vector<uint8_t> xm_write(const XmModuleDef& module);
// The cell of (row, channel) in a pattern description, growing it as needed.
XmCell& xm_cell(XmPatternDef& pattern, int channels, int row, int channel);
