// The embedded assets: their formats, the figures the show relies on, and
// that the committed files are exactly what the generators make.
#include "assets/assets.h"
#include "music/output.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<uint8_t> bytes_of(const unsigned char* data, uint32_t size) {
    return std::vector<uint8_t>(data, data + size);
}

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

uint32_t le16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8;
}
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}

std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

// ---- TGA images -----------------------------------------------------------

void expect_tga_frame(const std::vector<uint8_t>& t, uint8_t type, int depth) {
    ASSERT_GE(t.size(), 44u);
    EXPECT_EQ(t[0], 0) << "no image ID";
    EXPECT_EQ(t[1], 0) << "no colour map";
    EXPECT_EQ(t[2], type);
    for (int i = 3; i < 12; i++) EXPECT_EQ(t[size_t(i)], 0) << "header byte " << i;
    EXPECT_EQ(le16(t, 12), 256u);
    EXPECT_EQ(le16(t, 14), 128u);
    EXPECT_EQ(t[16], depth);
    EXPECT_EQ(t[17], 0x08) << "8 attribute bits, bottom-left origin";
    size_t f = t.size() - 26;
    EXPECT_EQ(le32(t, f), 0u);
    EXPECT_EQ(le32(t, f + 4), 0u);
    EXPECT_EQ(memcmp(&t[f + 8], "TRUEVISION-XFILE.", 18), 0) << "footer signature with its zero";
}

TEST(Sprite, TrueColourStripWithFooter) {
    std::vector<uint8_t> t = bytes_of(embedded_sprite, embedded_sprite_size);
    ASSERT_EQ(t.size(), 131116u);
    expect_tga_frame(t, 2, 32);
}

// Pixel (x, y) of the strip, y counted from the top as the show draws it.
const uint8_t* sprite_pixel(const std::vector<uint8_t>& t, int x, int y) {
    return &t[18 + (size_t(127 - y) * 256 + size_t(x)) * 4];
}

TEST(Sprite, FourCutOutFramesThatAnimate) {
    std::vector<uint8_t> t = bytes_of(embedded_sprite, embedded_sprite_size);
    ASSERT_EQ(t.size(), 131116u);
    std::vector<int> opaque(4, 0);
    for (int y = 0; y < 128; y++)
        for (int x = 0; x < 256; x++) {
            uint8_t a = sprite_pixel(t, x, y)[3];
            ASSERT_TRUE(a == 0 || a == 255) << "alpha is a cut-out mask at " << x << "," << y;
            if (a) opaque[size_t(x / 64)]++;
            // Nothing touches a frame's edges, so frames never bleed into each other.
            if (x % 64 == 0 || x % 64 == 63 || y == 0 || y == 127) {
                EXPECT_EQ(a, 0) << "frame edge at " << x << "," << y;
            }
        }
    for (int f = 0; f < 4; f++) {
        EXPECT_GT(opaque[size_t(f)], 64 * 128 / 5) << "frame " << f << " holds a figure";
        EXPECT_LT(opaque[size_t(f)], 64 * 128 * 4 / 5) << "frame " << f << " has a background";
    }
    // Each frame differs from the next, cyclically: the loop animates.
    for (int f = 0; f < 4; f++) {
        int g = (f + 1) % 4, differ = 0;
        for (int y = 0; y < 128; y++)
            for (int x = 0; x < 64; x++)
                differ +=
                    memcmp(sprite_pixel(t, f * 64 + x, y), sprite_pixel(t, g * 64 + x, y), 4) != 0;
        EXPECT_GT(differ, 40) << "frames " << f << " and " << g;
    }
}

TEST(Font, GreyscaleGridWithFooter) {
    std::vector<uint8_t> t = bytes_of(embedded_font, embedded_font_size);
    ASSERT_EQ(t.size(), 32812u);
    expect_tga_frame(t, 3, 8);
}

// Ink of the cell of character `code`, and its rightmost inked column.
int font_ink(const std::vector<uint8_t>& t, int code, int* right) {
    int cell = code - 32, ink = 0;
    *right = -1;
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++) {
            int iy = (cell / 16) * 16 + y; // from the image top
            uint8_t v = t[18 + size_t(127 - iy) * 256 + size_t((cell % 16) * 16 + x)];
            if (v) {
                ink += v;
                *right = std::max(*right, x);
            }
        }
    return ink;
}

TEST(Font, TheShowsCharactersHaveGlyphsThatFitTheAdvance) {
    std::vector<uint8_t> t = bytes_of(embedded_font, embedded_font_size);
    ASSERT_EQ(t.size(), 32812u);
    int right;
    EXPECT_EQ(font_ink(t, ' ', &right), 0);
    std::string shown =
        "Evil vlorp eat BRAIN!!!The vlorpCode: dravoMusic: TovrikThanks for a "
        "great party!0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (char c : shown) {
        if (c == ' ') continue;
        EXPECT_GT(font_ink(t, uint8_t(c), &right), 0) << "glyph for '" << c << "'";
        // The pen moves 10 texels; wider glyphs would run into their neighbours.
        EXPECT_LE(right, 12) << "glyph for '" << c << "'";
    }
    EXPECT_GT(font_ink(t, 0x80, &right), 0) << "Windows-1252 euro sign";
    EXPECT_EQ(font_ink(t, 0x81, &right), 0) << "a code the code page leaves out";
    // The small letters sit lower than the capitals' tops: a real font, not blocks.
    EXPECT_NE(font_ink(t, 'a', &right), font_ink(t, 'A', &right));
}

// ---- Shader source ---------------------------------------------------------

TEST(MetaballShader, TwoSectionsWithTheVeil) {
    std::string s(reinterpret_cast<const char*>(embedded_metaball_shader),
                  embedded_metaball_shader_size);
    EXPECT_EQ(s.size(), 715u);
    EXPECT_EQ(s.rfind("#vertexshader\n", 0), 0u) << "no shared prologue before the first marker";
    size_t frag = s.find("\n#fragmentshader\n");
    ASSERT_NE(frag, std::string::npos);
    std::string vertex = s.substr(0, frag), fragment = s.substr(frag);
    EXPECT_NE(vertex.find("varying vec3 point;"), std::string::npos);
    EXPECT_NE(vertex.find("ftransform()"), std::string::npos);
    EXPECT_NE(fragment.find("varying vec3 point;"), std::string::npos);
    EXPECT_NE(fragment.find("const int numballs = 6;"), std::string::npos);
    EXPECT_NE(fragment.find("uniform vec3 balls[numballs];"), std::string::npos);
    EXPECT_NE(fragment.find("float distancepow2("), std::string::npos);
    EXPECT_NE(fragment.find("value < 0.3"), std::string::npos);
    EXPECT_NE(fragment.find("vec4(0.25, 0.125, 0.5, 0.75)"), std::string::npos);
    EXPECT_NE(fragment.find("discard;"), std::string::npos);
    EXPECT_EQ(s.find('\r'), std::string::npos);
}

// ---- Soundtrack --------------------------------------------------------------

TEST(Soundtrack, HeaderFigures) {
    std::vector<uint8_t> m = bytes_of(embedded_module, embedded_module_size);
    EXPECT_EQ(m.size(), 32877u) << "the size the show was laid out for";
    EXPECT_EQ(memcmp(m.data(), "Extended Module: ", 17), 0);
    EXPECT_EQ(m[37], 0x1a);
    EXPECT_EQ(le16(m, 58), 0x0104u);
    EXPECT_EQ(le32(m, 60), 276u);
    EXPECT_EQ(le16(m, 64), 19u);  // song length
    EXPECT_EQ(le16(m, 66), 0u);   // restart position
    EXPECT_EQ(le16(m, 68), 8u);   // channels
    EXPECT_EQ(le16(m, 70), 19u);  // patterns
    EXPECT_EQ(le16(m, 72), 10u);  // instruments
    EXPECT_EQ(le16(m, 74), 1u);   // linear frequency table
    EXPECT_EQ(le16(m, 76), 5u);   // speed
    EXPECT_EQ(le16(m, 78), 126u); // bpm
    for (int i = 0; i < 256; i++) EXPECT_EQ(m[80 + size_t(i)], i < 19 ? i : 0) << "order " << i;
}

// Walks the file's own structure: every pattern 64 rows, every instrument one
// 8-bit delta sample, and the walk ends exactly at the end of the file.
TEST(Soundtrack, FileStructureIsExact) {
    std::vector<uint8_t> m = bytes_of(embedded_module, embedded_module_size);
    size_t at = 60 + le32(m, 60);
    for (int p = 0; p < 19; p++) {
        ASSERT_LE(at + 9, m.size());
        EXPECT_EQ(le32(m, at), 9u);
        EXPECT_EQ(le16(m, at + 5), 64u) << "rows of pattern " << p;
        at += 9 + le16(m, at + 7);
    }
    for (int i = 0; i < 10; i++) {
        ASSERT_LE(at + 243, m.size());
        uint32_t header = le32(m, at);
        EXPECT_EQ(le16(m, at + 27), 1u) << "instrument " << i << " has one sample";
        size_t sample = at + header;
        ASSERT_LE(sample + 40, m.size());
        uint32_t length = le32(m, sample), loop_start = le32(m, sample + 4),
                 loop_length = le32(m, sample + 8);
        uint8_t type = m[sample + 14];
        EXPECT_EQ(type & 0x10, 0) << "instrument " << i << " sample is 8-bit";
        if (type & 3) {
            EXPECT_LE(loop_start + loop_length, length) << "loop inside the sample";
        }
        at = sample + 40 + length;
    }
    EXPECT_EQ(at, m.size()) << "nothing after the last sample";
}

TEST(Soundtrack, LoadsWithTheShowsFigures) {
    Song* song = test_load_bytes(bytes_of(embedded_module, embedded_module_size));
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->song_length, 19);
    EXPECT_EQ(song->restart_position, 0);
    EXPECT_EQ(song->channel_count, 8);
    EXPECT_EQ(song->pattern_count, 19);
    EXPECT_EQ(song->referenced_pattern_count, 19);
    EXPECT_EQ(song->instrument_count, 10);
    EXPECT_EQ(song->flags, 1);
    EXPECT_EQ(song->default_speed, 5);
    EXPECT_EQ(song->default_bpm, 126);
    bool loops[3] = {false, false, false}; // none, forward, ping-pong
    for (int i = 0; i < 10; i++) {
        const Instrument& ins = song->instruments[i];
        ASSERT_EQ(ins.sample_count, 1);
        EXPECT_EQ(ins.samples[0]->bits, 16);
        EXPECT_GT(ins.samples[0]->length, 0u);
        loops[ins.samples[0]->loop_type == LOOP_FORWARD    ? 1
              : ins.samples[0]->loop_type == LOOP_PINGPONG ? 2
                                                           : 0] = true;
    }
    EXPECT_TRUE(loops[1]) << "a forward loop";
    EXPECT_TRUE(loops[2]) << "a ping-pong loop";
    // The show counts order positions and rows: nothing may jump, break,
    // loop, delay rows or change the tempo.
    for (int p = 0; p < 19; p++) {
        ASSERT_EQ(song->patterns[p].row_count, 64);
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 8; c++) {
                const NoteCell& n = song->patterns[p].cells[r * 8 + c];
                SCOPED_TRACE(testing::Message()
                             << "pattern " << p << " row " << r << " channel " << c);
                EXPECT_NE(n.effect, 0xB);
                EXPECT_NE(n.effect, 0xD);
                EXPECT_NE(n.effect, 0xF);
                if (n.effect == 0xE) {
                    EXPECT_NE(n.param >> 4, 0x6);
                    EXPECT_NE(n.param >> 4, 0xE);
                }
                EXPECT_LE(n.instrument, 10);
                EXPECT_TRUE(n.note == 0 || n.note == NOTE_KEY_OFF || (n.note >= 1 && n.note <= 96));
            }
    }
    song_free(song);
}

// The green flashes of order positions 7 to 9 fall on every fourth row: the
// music accents exactly those rows with a full-volume kick.
TEST(Soundtrack, FullBeatAccentsEveryFourthRow) {
    Song* song = test_load_bytes(bytes_of(embedded_module, embedded_module_size));
    ASSERT_NE(song, nullptr);
    for (int p = 7; p <= 9; p++)
        for (int r = 0; r < 64; r += 4) {
            const NoteCell& kick = song->patterns[p].cells[r * 8];
            EXPECT_TRUE(kick.note >= 1 && kick.note <= 96 && kick.volume == 0x50)
                << "pattern " << p << " row " << r;
        }
    song_free(song);
}

TEST(Soundtrack, VlorpXmInfoShowsTheFigures) {
    int status = -1;
    std::string out = run(std::string("'") + VLORP_XM_TOOL + "' info '" + VLORP_SOURCE_DIR +
                              "/assets/soundtrack.xm'",
                          &status);
    EXPECT_EQ(status, 0);
    Song* song = test_load_bytes(bytes_of(embedded_module, embedded_module_size));
    ASSERT_NE(song, nullptr);
    long frames = 0;
    for (int i = 0; i < 10; i++) frames += song->instruments[i].samples[0]->length;
    song_free(song);
    // One pass is 19 patterns of 64 rows of 4375 frames: 120.63 s.
    long ms = 19L * 64 * 4375 * 1000 / MIX_RATE;
    EXPECT_EQ(out, "title Brain Snack\ntracker vlorp gen-module\ncomplete yes\n"
                   "song_length 19\nrestart_position 0\nchannel_count 8\npattern_count 19\n"
                   "referenced_pattern_count 19\ninstrument_count 10\n"
                   "flags 1 (linear frequency table)\n"
                   "default_speed 5\ndefault_bpm 126\nsamples 10\nsample_frames " +
                       std::to_string(frames) + "\nduration_ms " + std::to_string(ms) + "\n");
}

// Mixes the whole soundtrack offline, block by block as the show hears it,
// and checks what the show relies on: the order positions come in sequence
// at 6.35 s each, nothing clips, the sections keep their dynamics, and the
// song has faded to silence before the show ends at 120 s.
TEST(Soundtrack, RendersCleanlyWithItsDynamicsAndFadesOut) {
    Song* song = test_load_bytes(bytes_of(embedded_module, embedded_module_size));
    ASSERT_NE(song, nullptr);
    ASSERT_TRUE(output_offline_start(song));
    const long ORDER_FRAMES = 64L * 4375; // 64 rows of 5 ticks of 875 frames
    std::vector<double> energy(19, 0.0);
    std::vector<long> frames(19, 0);
    long frame = 0, clipped = 0;
    int peak = 0, tail_peak = 0, last_order = 0;
    // Up to the end of the last pattern; after it the song starts again.
    while (frame + BLOCK_FRAMES <= 19 * ORDER_FRAMES) {
        TimeInfo info;
        const int16_t* pcm = output_offline_mix_block(&info);
        ASSERT_NE(pcm, nullptr);
        ASSERT_GE(info.order, last_order) << "order positions never go back";
        last_order = info.order;
        // The position reported for a block is the one reached at its end.
        EXPECT_EQ(info.order, (frame + BLOCK_FRAMES - 1) / ORDER_FRAMES) << "at frame " << frame;
        for (int i = 0; i < 2 * BLOCK_FRAMES; i++) {
            int v = pcm[i];
            clipped += v == 32767 || v == -32768;
            peak = std::max(peak, std::abs(v));
            if (frame + i / 2 >= long(119.5 * MIX_RATE))
                tail_peak = std::max(tail_peak, std::abs(v));
            long s = (frame + i / 2) / ORDER_FRAMES;
            if (s < 19) {
                energy[size_t(s)] += double(v) * v;
                frames[size_t(s)]++;
            }
        }
        frame += BLOCK_FRAMES;
    }
    player_stop(song);
    song_free(song);
    EXPECT_EQ(clipped, 0);
    EXPECT_LT(peak, 29205) << "at least 1 dB of headroom";
    EXPECT_LE(tail_peak, 8) << "silent from 119.5 s";
    auto level = [&](int from, int to) { // dB of the mean power over order positions
        double e = 0, n = 0;
        for (int o = from; o <= to; o++) e += energy[size_t(o)], n += double(frames[size_t(o)]);
        return 10 * std::log10(e / n / (32768.0 * 32768.0));
    };
    double intro = level(0, 1), groove = level(4, 6), full = level(7, 9), breakdown = level(10, 11),
           climax = level(13, 16), outro = level(17, 18);
    EXPECT_GT(groove, intro + 3) << "the groove is well above the intro";
    EXPECT_GT(full, groove) << "the full beat is above the groove";
    EXPECT_LT(breakdown, groove - 1.5) << "the breakdown drops back";
    EXPECT_GT(climax, full) << "the climax is the loudest";
    EXPECT_LT(outro, full - 2) << "the outro winds down";
    for (int o = 0; o < 19; o++) EXPECT_GT(level(o, o), -30.0) << "order " << o << " is not silent";
}

// ---- Regeneration ------------------------------------------------------------

struct Generated {
    const char* generator; // path of the built generator, empty when not built
    const char* file;      // committed file under assets/
    const unsigned char* embedded;
    const uint32_t* embedded_size;
};

void PrintTo(const Generated& g, std::ostream* os) {
    *os << g.file;
}

class Regenerate : public testing::TestWithParam<Generated> {};

TEST_P(Regenerate, GeneratorRemakesTheCommittedFileByteForByte) {
    const Generated& g = GetParam();
    if (!*g.generator)
        GTEST_SKIP() << "generator for " << g.file << " not built (FreeType missing)";
    if (!strcmp(g.file, "font.tga") && access(VLORP_FONT_FILE, R_OK) != 0)
        GTEST_SKIP() << "font " << VLORP_FONT_FILE << " missing (fonts-dejavu-core)";
    std::vector<uint8_t> committed;
    ASSERT_TRUE(read_file(std::string(VLORP_SOURCE_DIR) + "/assets/" + g.file, committed));
    EXPECT_EQ(committed, bytes_of(g.embedded, *g.embedded_size))
        << "the build embeds the committed file";

    char dir[] = "/tmp/vlorp-regen-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string out = std::string(dir) + "/" + g.file;
    int status = -1;
    run(std::string("'") + g.generator + "' -o '" + out + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> made;
    EXPECT_TRUE(read_file(out, made));
    remove(out.c_str());
    rmdir(dir);
    EXPECT_EQ(made.size(), committed.size());
    EXPECT_TRUE(made == committed) << g.file << " differs from its generator's output: run "
                                   << "'cmake --build BUILD --target regen-assets' and commit";
}

INSTANTIATE_TEST_SUITE_P(
    Assets, Regenerate,
    testing::Values(
        Generated{VLORP_GEN_MODULE, "soundtrack.xm", embedded_module, &embedded_module_size},
        Generated{VLORP_GEN_SPRITE, "sprite.tga", embedded_sprite, &embedded_sprite_size},
        Generated{VLORP_GEN_FONT, "font.tga", embedded_font, &embedded_font_size},
        Generated{VLORP_GEN_SHADER, "metaball.glsl", embedded_metaball_shader,
                  &embedded_metaball_shader_size}),
    [](const testing::TestParamInfo<Generated>& info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

TEST(Generators, RefuseBadUsageAndWriteNothingHalfway) {
    int status = -1;
    run(std::string("'") + VLORP_GEN_SHADER + "' 2>/dev/null", &status);
    EXPECT_NE(status, 0) << "no output named";
    std::string help = run(std::string("'") + VLORP_GEN_SHADER + "' --help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("usage:"), std::string::npos);
    std::string err =
        run(std::string("'") + VLORP_GEN_SHADER + "' -o /nonexistent-dir/x.glsl 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(err.find("/nonexistent-dir/x.glsl"), std::string::npos) << err;
}

// A generator writes as every output is written: through a link to the file
// behind it, into a pipe in place, and never beside the output under a name
// of its own that a failure would leave.
TEST(Generators, WriteThroughLinksAndIntoPipesLeavingNothingElse) {
    char dir[] = "/tmp/vlorp-genout-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir, shader = VLORP_GEN_SHADER;
    const std::vector<uint8_t> expected =
        bytes_of(embedded_metaball_shader, embedded_metaball_shader_size);
    int status = -1;
    ASSERT_EQ(symlink("real.glsl", (d + "/link.glsl").c_str()), 0);
    run("'" + shader + "' -o '" + d + "/link.glsl' 2>&1", &status);
    EXPECT_EQ(status, 0);
    struct stat st {};
    ASSERT_EQ(lstat((d + "/link.glsl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    std::vector<uint8_t> made;
    EXPECT_TRUE(read_file(d + "/real.glsl", made));
    EXPECT_TRUE(made == expected);

    ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0600), 0);
    // The generator writes while the reader reads; its status lands in a file.
    std::string piped =
        run("cd '" + d + "' && (timeout 20 '" + shader +
                "' -o pipe; echo $? > status) & timeout 20 cat '" + d + "/pipe' | wc -c; wait",
            &status);
    EXPECT_EQ(std::atol(piped.c_str()), long(expected.size())) << piped;
    std::vector<uint8_t> exit_status;
    EXPECT_TRUE(read_file(d + "/status", exit_status));
    EXPECT_EQ(std::string(exit_status.begin(), exit_status.end()), "0\n");
    ASSERT_EQ(lstat((d + "/pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe is not replaced";

    std::string left = run("ls -A '" + d + "'", &status);
    EXPECT_EQ(left, "link.glsl\npipe\nreal.glsl\nstatus\n");
    run("rm -rf '" + d + "'", &status);
}

} // namespace
