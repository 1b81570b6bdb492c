// Writes the fuzzer's seed corpus: small modules that between them reach
// every part of the loader and the replayer (patterns, envelopes, loops,
// 8- and 16-bit samples, effects of every kind).
#include "xm_writer/xm_writer.h"

#include <cstdio>
#include <string>

static void save(const std::string& dir, const char* name, const XmModuleDef& m) {
    std::vector<uint8_t> bytes = xm_write(m);
    std::string path = dir + "/" + name + ".xm";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

static XmInstrumentDef instrument(int bits, uint8_t loop, int length) {
    XmInstrumentDef ins;
    XmSampleDef s;
    s.bits = bits;
    s.loop = loop;
    for (int i = 0; i < length; i++)
        s.pcm.push_back(int16_t((i * 37 % 200) - 100) * (bits == 16 ? 200 : 1));
    s.loop_start = uint32_t(length / 4);
    s.loop_length = uint32_t(length / 2);
    s.relative_note = 3;
    s.finetune = -20;
    ins.samples.push_back(s);
    ins.volume_envelope.point_count = 4;
    ins.volume_envelope.type = 7;
    ins.volume_envelope.sustain = 1;
    ins.volume_envelope.loop_start = 1;
    ins.volume_envelope.loop_end = 3;
    uint16_t vx[4] = {0, 8, 20, 40}, vy[4] = {64, 40, 50, 0};
    for (int i = 0; i < 4; i++) {
        ins.volume_envelope.x[i] = vx[i];
        ins.volume_envelope.y[i] = vy[i];
    }
    ins.panning_envelope = ins.volume_envelope;
    ins.panning_envelope.type = 3;
    ins.fadeout = 500;
    ins.vibrato_type = 1;
    ins.vibrato_sweep = 10;
    ins.vibrato_depth = 8;
    ins.vibrato_rate = 20;
    return ins;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    for (uint16_t flags : {0, 1}) {
        XmModuleDef m;
        m.channels = 4;
        m.flags = flags;
        m.orders = {0, 1, 0};
        m.instruments = {instrument(8, 1, 64), instrument(16, 2, 100), instrument(8, 0, 30)};
        for (int p = 0; p < 2; p++) {
            XmPatternDef pat;
            pat.rows = 16;
            int effect = p * 16;
            for (int row = 0; row < 16; row++) {
                for (int ch = 0; ch < 4; ch++) {
                    XmCell& c = xm_cell(pat, 4, row, ch);
                    if ((row + ch) % 3 == 0) {
                        c.note = uint8_t(30 + (row * 5 + ch * 7) % 60);
                        c.instrument = uint8_t(1 + (row + ch) % 3);
                    }
                    if (row == 15 && ch == 0) c.note = 97;
                    c.volume = uint8_t(row % 2 ? 0x10 + row * 3 : 0x60 + (ch * 0x10) + row % 16);
                    c.effect = uint8_t((effect + row + ch * 4) % 36);
                    c.param = uint8_t((row * 37 + ch * 11) & 0xFF);
                }
            }
            m.patterns.push_back(pat);
        }
        save(dir, flags ? "effects_linear" : "effects_amiga", m);
    }
    // One short module per effect (and per extended effect), played from its
    // first row at speed 3, so each reaches its per-tick code within the few
    // rows the player target plays per input.
    for (int effect = 0; effect < 36 + 16 + 1; effect++) {
        XmModuleDef m;
        m.channels = 4;
        m.speed = 3;
        m.orders = {0, 0};
        m.instruments = {instrument(8, 1, 64), instrument(16, 2, 100)};
        XmPatternDef pat;
        pat.rows = 16;
        for (int row = 0; row < 16; row++) {
            for (int ch = 0; ch < 4; ch++) {
                XmCell& c = xm_cell(pat, 4, row, ch);
                if (row % 4 == 0 || (row + ch) % 7 == 0) {
                    c.note = uint8_t(25 + (row * 7 + ch * 12) % 70);
                    c.instrument = uint8_t(1 + (row + ch) % 2);
                }
                uint8_t param = uint8_t(row * 17 + ch * 5 + 1);
                if (effect < 36) {
                    c.effect = uint8_t(effect);
                    c.param = param;
                } else if (effect < 52) { // Exy: x picks the extended effect
                    c.effect = 14;
                    c.param = uint8_t((effect - 36) << 4 | (param & 15));
                } else { // every kind of volume-column byte, no effect
                    c.volume = uint8_t(0x10 + (row * 4 + ch) * 15 % 0xF0);
                }
            }
        }
        m.patterns.push_back(pat);
        save(dir, ("fx" + std::to_string(effect)).c_str(), m);
    }
    XmModuleDef tiny;
    tiny.channels = 1;
    tiny.orders = {0};
    XmPatternDef pat;
    pat.rows = 1;
    xm_cell(pat, 1, 0, 0) = {49, 1, 0, 0, 0};
    tiny.patterns.push_back(pat);
    tiny.instruments.push_back(instrument(8, 2, 8));
    save(dir, "tiny", tiny);
    return 0;
}
