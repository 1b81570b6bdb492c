#include "xm_writer/xm_writer.h"

#include <cstring>

static void put8(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
}
static void put16(std::vector<uint8_t>& out, uint32_t v) {
    put8(out, v);
    put8(out, v >> 8);
}
static void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v);
    put16(out, v >> 16);
}
static void put_bytes(std::vector<uint8_t>& out, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) out.push_back(p[i]);
}
static void put_text(std::vector<uint8_t>& out, const std::string& s, size_t n) {
    for (size_t i = 0; i < n; i++) put8(out, i < s.size() ? uint8_t(s[i]) : 0);
}

XmCell& xm_cell(XmPatternDef& pattern, int channels, int row, int channel) {
    size_t need = size_t(pattern.rows) * size_t(channels);
    if (pattern.cells.size() < need) pattern.cells.resize(need);
    return pattern.cells[size_t(row) * size_t(channels) + size_t(channel)];
}

static std::vector<uint8_t> pack_cells(const XmPatternDef& p, int channels) {
    std::vector<uint8_t> out;
    size_t count = size_t(p.rows) * size_t(channels);
    for (size_t i = 0; i < count; i++) {
        XmCell c = i < p.cells.size() ? p.cells[i] : XmCell{};
        uint8_t f[5] = {c.note, c.instrument, c.volume, c.effect, c.param};
        uint8_t mask = 0x80;
        for (int k = 0; k < 5; k++)
            if (f[k]) mask |= uint8_t(1 << k);
        if (mask == 0x9f && c.note < 0x80) { // every field present: plain 5 bytes
            put_bytes(out, f, 5);
            continue;
        }
        out.push_back(mask);
        for (int k = 0; k < 5; k++)
            if (f[k]) out.push_back(f[k]);
    }
    return out;
}

static void write_sample_header(std::vector<uint8_t>& out, const XmSampleDef& s) {
    uint32_t unit = s.bits == 16 ? 2 : 1;
    uint32_t len = uint32_t(s.pcm.size()) * unit;
    put32(out, s.header_length_bytes >= 0 ? uint32_t(s.header_length_bytes) : len);
    put32(out, s.header_loop_start_bytes >= 0 ? uint32_t(s.header_loop_start_bytes)
                                              : s.loop_start * unit);
    put32(out, s.header_loop_length_bytes >= 0 ? uint32_t(s.header_loop_length_bytes)
                                               : s.loop_length * unit);
    put8(out, s.volume);
    put8(out, uint8_t(s.finetune));
    uint8_t type = uint8_t(s.loop & 3) | (s.bits == 16 ? 0x10 : 0);
    put8(out, s.type_byte >= 0 ? uint8_t(s.type_byte) : type);
    put8(out, s.panning);
    put8(out, uint8_t(s.relative_note));
    put8(out, 0);
    put_text(out, s.name, 22);
}

static void write_sample_data(std::vector<uint8_t>& out, const XmSampleDef& s) {
    int32_t prev = 0;
    for (int16_t v : s.pcm) {
        int32_t stored = s.delta ? v - prev : v;
        prev = v;
        if (s.bits == 16)
            put16(out, uint16_t(stored));
        else
            put8(out, uint8_t(stored));
    }
}

static void write_envelope_points(std::vector<uint8_t>& out, const XmEnvelope& e) {
    for (int i = 0; i < 12; i++) {
        put16(out, e.x[i]);
        put16(out, e.y[i]);
    }
}

// The module header, padded (or cut) to its stated size.
static void write_header(std::vector<uint8_t>& out, const XmModuleDef& m) {
    const char* sig = "Extended Module: ";
    put_bytes(out, reinterpret_cast<const uint8_t*>(sig), 17);
    put_text(out, m.name, 20);
    put8(out, 0x1a);
    put_text(out, m.tracker, 20);
    put16(out, 0x0104);
    put32(out, m.header_size);
    int song_length = m.song_length >= 0 ? m.song_length : int(m.orders.size());
    put16(out, uint32_t(song_length));
    put16(out, m.restart);
    put16(out, uint32_t(m.channels));
    int pattern_count =
        m.declared_pattern_count >= 0 ? m.declared_pattern_count : int(m.patterns.size());
    put16(out, uint32_t(pattern_count));
    int instrument_count =
        m.declared_instrument_count >= 0 ? m.declared_instrument_count : int(m.instruments.size());
    put16(out, uint32_t(instrument_count));
    put16(out, m.flags);
    put16(out, m.speed);
    put16(out, m.bpm);
    for (int i = 0; i < 256; i++) put8(out, i < int(m.orders.size()) ? m.orders[size_t(i)] : 0);
    // Header size counts from offset 60; pad (or cut) to it.
    out.resize(60 + size_t(m.header_size), 0);
}

static void write_patterns(std::vector<uint8_t>& out, const XmModuleDef& m) {
    for (const XmPatternDef& p : m.patterns) {
        std::vector<uint8_t> data;
        if (!p.raw_data.empty())
            data = p.raw_data;
        else if (!p.write_no_data)
            data = pack_cells(p, m.channels);
        put32(out, 9);
        put8(out, 0);
        put16(out, uint32_t(p.rows));
        put16(out, uint32_t(data.size()));
        put_bytes(out, data.data(), data.size());
    }
}

// The instrument header, padded (or cut) to its stated size, then its
// samples' headers and data.
static void write_instrument(std::vector<uint8_t>& out, const XmInstrumentDef& ins) {
    size_t start = out.size();
    int count =
        ins.declared_sample_count >= 0 ? ins.declared_sample_count : int(ins.samples.size());
    int64_t header_size = ins.header_size >= 0 ? ins.header_size : (count ? 263 : 29);
    put32(out, uint32_t(header_size));
    put_text(out, ins.name, 22);
    put8(out, 0);
    put16(out, uint32_t(count));
    if (count > 0) {
        put32(out, 40);
        put_bytes(out, ins.keymap, 96);
        write_envelope_points(out, ins.volume_envelope);
        write_envelope_points(out, ins.panning_envelope);
        const XmEnvelope& v = ins.volume_envelope;
        const XmEnvelope& p = ins.panning_envelope;
        uint8_t bytes[14] = {
            v.point_count,    p.point_count,     v.sustain,         v.loop_start,    v.loop_end,
            p.sustain,        p.loop_start,      p.loop_end,        v.type,          p.type,
            ins.vibrato_type, ins.vibrato_sweep, ins.vibrato_depth, ins.vibrato_rate};
        put_bytes(out, bytes, 14);
        put16(out, ins.fadeout);
    }
    out.resize(start + size_t(header_size), 0);
    if (count == 0) return;
    for (const XmSampleDef& s : ins.samples) write_sample_header(out, s);
    for (const XmSampleDef& s : ins.samples) write_sample_data(out, s);
}

std::vector<uint8_t> xm_write(const XmModuleDef& m) {
    std::vector<uint8_t> out;
    write_header(out, m);
    write_patterns(out, m);
    for (const XmInstrumentDef& ins : m.instruments) write_instrument(out, ins);
    return out;
}
