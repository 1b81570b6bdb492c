// The soundtrack's score, written in code against the show's timeline.
#include "assets/gen/gen_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

// ---- Score ----------------------------------------------------------------
//
// 16 rows make a bar of sixteenth notes (4 rows a beat, about 151 beats a
// minute), 4 bars a pattern. The arrangement follows the show:
//   0      intro: pad chords and a glass-bell motif with its echo
//   1      the rhythmic figure: arpeggiated plucks (the sprite starts to chew)
//   2      the bass enters (the sprite spins)
//   3      drums, half time, ending in a fill (the metaballs start moving)
//   4-6    the groove and the lead theme: statement, answer, second phrase
//   7-9    the full beat: a kick on every beat (the green flashes), open hats
//   10-12  breakdown: new chords, the motif slowed down on the bell, then a
//          build of rolls, rising arpeggios and a chromatic climb to B minor
//   13-16  climax a tone higher, the theme in two voices
//   17-18  outro back in A minor: the theme once more, quieter, then the
//          bell motif over the last A minor chord and a fade to silence

constexpr uint8_t KEY_OFF = 97;
constexpr int BAR = 16;

constexpr int CH_KICK = 0;
constexpr int CH_SNARE = 1; // snare, toms
constexpr int CH_HAT = 2;
constexpr int CH_BASS = 3;
constexpr int CH_LEAD = 4; // lead, bell
constexpr int CH_AUX = 5;  // plucks, bell echo, second lead voice
constexpr int CH_PAD = 6;
constexpr int CH_PAD2 = 7; // second pad voice, crash, open hats

constexpr uint8_t FX_ARPEGGIO = 0x0;
constexpr uint8_t FX_PORTA_UP = 0x1;
constexpr uint8_t FX_TONE_PORTA = 0x3;
constexpr uint8_t FX_VIBRATO = 0x4;
constexpr uint8_t FX_PANNING = 0x8;
constexpr uint8_t FX_VOLUME_SLIDE = 0xA;
constexpr uint8_t FX_EXTENDED = 0xE;
constexpr uint8_t FX_GLOBAL_VOLUME_SLIDE = 0x11;
constexpr uint8_t FX_RETRIGGER = 0x1B;
constexpr uint8_t EX_NOTE_CUT = 0xC0;
constexpr uint8_t EX_NOTE_DELAY = 0xD0;

// Parses "C4", "C-4", "C#4", "Bb3" into an XM note number (C-4 = 49).
static int pitch(const char* s) {
    static const int BASE[7] = {9, 11, 0, 2, 4, 5, 7}; // A..G
    int semitone = BASE[s[0] - 'A'];
    int i = 1;
    if (s[i] == '#')
        semitone++, i++;
    else if (s[i] == 'b')
        semitone--, i++;
    else if (s[i] == '-')
        i++;
    return (s[i] - '0') * 12 + semitone + 1;
}

struct Writer {
    XmModuleDef* m;
    bool clash; // set when two parts of the score wrote the same cell
};

// A cell by absolute row: pattern = row / 64.
static XmCell& at(Writer& w, int row, int channel) {
    return xm_cell(w.m->patterns[size_t(row / ROWS)], CHANNELS, row % ROWS, channel);
}

static void clash(Writer& w, int row, int channel, const char* what) {
    fprintf(stderr, "vlorp-gen-module: score writes %s twice at pattern %d row %d channel %d\n",
            what, row / ROWS, row % ROWS, channel);
    w.clash = true;
}

// Note with instrument and volume (-1: none) at an absolute row.
static void note(Writer& w, int row, int channel, int n, uint8_t ins, int volume) {
    XmCell& c = at(w, row, channel);
    if (c.note || c.instrument || c.volume) clash(w, row, channel, "a note");
    c.note = uint8_t(n);
    c.instrument = ins;
    c.volume = volume >= 0 ? uint8_t(0x10 + std::min(volume, 64)) : 0;
}

static void effect(Writer& w, int row, int channel, uint8_t fx, uint8_t param) {
    XmCell& c = at(w, row, channel);
    if (c.effect || c.param) clash(w, row, channel, "an effect");
    c.effect = fx;
    c.param = param;
}

// A volume-column command alone (slides: 0x6y down, 0x7y up, per tick).
static void volume_column(Writer& w, int row, int channel, uint8_t value) {
    XmCell& c = at(w, row, channel);
    if (c.volume) clash(w, row, channel, "the volume column");
    c.volume = value;
}

static void key_off(Writer& w, int row, int channel) {
    note(w, row, channel, KEY_OFF, 0, -1);
}

static int row_of(int order, int bar, int step) {
    return order * ROWS + bar * BAR + step;
}

// ---- Harmony

struct Chord {
    int root; // pitch class, 0 = C
    bool minor;
    int colour; // interval of the second pad voice above the root
};

// "Am", "F", "G5" (second pad voice on the fifth), "F#8" (on the octave).
static Chord chord(const char* s) {
    static const int BASE[7] = {9, 11, 0, 2, 4, 5, 7};
    Chord c = {BASE[s[0] - 'A'], false, 4};
    int i = 1;
    if (s[i] == '#') c.root = (c.root + 1) % 12, i++;
    if (s[i] == 'm') c.minor = true, c.colour = 3, i++;
    if (s[i] == '5') c.colour = 7;
    if (s[i] == '8') c.colour = 12;
    return c;
}

// The chords of each order position, one per bar.
static const char* const CHORDS[PATTERNS][4] = {
    {"Am", "Am", "F", "F"},   {"C", "C", "G5", "G5"},  {"Am", "F", "C", "G5"},
    {"Am", "F", "C", "G5"},   {"Am", "F", "C", "G5"},  {"Am", "F", "C", "G5"},
    {"Am", "F", "C", "G5"},   {"Am", "F", "C", "G5"},  {"Am", "F", "C", "G5"},
    {"Am", "F", "C", "G5"},   {"F", "G5", "Em", "Am"}, {"F", "G5", "Em", "Am"},
    {"Dm", "Em", "F", "F#8"}, {"Bm", "G", "D", "A5"},  {"Bm", "G", "D", "A5"},
    {"Bm", "G", "D", "A5"},   {"Bm", "G", "D", "A5"},  {"Am", "F", "C", "G5"},
    {"Am", "Am", "Am", "Am"},
};

static Chord chord_at(int order, int bar) {
    return chord(CHORDS[order][bar]);
}

// A pitch class placed in the octave that starts at `lowest` (an XM note).
static int place(int pitch_class, int lowest) {
    int n = lowest;
    while ((n - 1) % 12 != pitch_class) n++;
    return n;
}

// ---- Parts

// Pads: the chord root (the sample sounds root and fifth) and a colour voice
// above it. A chord change inside a passage is a note without instrument, so
// the envelope keeps its level and the voices cross-fade instead of starting
// again; `first` strikes the instruments anew.
static void pads(Writer& w, int order, int bar, bool strike, bool two, int volume = -1,
                 int volume2 = -1) {
    Chord c = chord_at(order, bar);
    int root = place(c.root, pitch("F3"));
    int row = row_of(order, bar, 0);
    note(w, row, CH_PAD, root, strike ? PAD : 0, volume);
    if (strike) effect(w, row, CH_PAD, FX_PANNING, 84);
    if (two) {
        note(w, row, CH_PAD2, root + c.colour, strike ? PAD : 0, volume2);
        if (strike) effect(w, row, CH_PAD2, FX_PANNING, 172);
    }
}

// A melodic line in tokens "NOTE:ROWS", e.g. "A4:6 C5:2 -:4 ~E5:4". '-' rests
// (key off), '~' slides into the note from the previous one, '=' repeats the
// previous pitch. Held notes of `vibrato_from` rows or more get a delayed
// vibrato; each note is struck at `volume` (and panned, when `pan` is set:
// striking an instrument resets the panning to the sample's).
struct LineStyle {
    uint8_t instrument;
    int volume;
    int transpose;
    int vibrato_from; // 0: no vibrato
    uint8_t vibrato;  // 4xy parameter
    uint8_t slide;    // 3xx speed
    bool key_offs;    // rests release the note (else it rings on)
    int pan;          // 0: the sample's own panning
};

static int line(Writer& w, int row, int channel, const LineStyle& s, const char* text) {
    int previous = 0;
    const char* p = text;
    while (*p) {
        while (*p == ' ') p++;
        if (!*p) break;
        bool slide = *p == '~';
        if (slide) p++;
        char name[8] = {};
        int k = 0;
        while (*p && *p != ':' && k < 7) name[k++] = *p++;
        int length = 0;
        if (*p == ':') p++;
        while (*p >= '0' && *p <= '9') length = length * 10 + (*p++ - '0');
        if (name[0] == '-') {
            if (s.key_offs) key_off(w, row, channel);
        } else {
            int n = name[0] == '=' ? previous : pitch(name) + s.transpose;
            if (slide) {
                note(w, row, channel, n, 0, -1);
                effect(w, row, channel, FX_TONE_PORTA, s.slide);
            } else {
                note(w, row, channel, n, s.instrument, s.volume);
                if (s.pan) effect(w, row, channel, FX_PANNING, uint8_t(s.pan));
            }
            previous = n;
            if (s.vibrato_from && length >= s.vibrato_from)
                for (int r = row + 3; r < row + length; r++)
                    effect(w, r, channel, FX_VIBRATO,
                           r == row + 3 ? s.vibrato : 0); // 0: go on as before
        }
        row += length;
    }
    return row;
}

// One-row steps, one character per row: '.' nothing, and otherwise the
// character picks a volume from `volumes` ("X:60 x:44 o:24").
static void steps(Writer& w, int row, int channel, uint8_t ins, int n, const char* pattern,
                  const char* volumes) {
    for (int i = 0; pattern[i]; i++) {
        char ch = pattern[i];
        if (ch == '.' || ch == ' ') continue;
        if (ch == '-') {
            key_off(w, row + i, channel);
            continue;
        }
        const char* v = strchr(volumes, ch);
        int volume = v && v[1] == ':' ? atoi(v + 2) : 48;
        note(w, row + i, channel, n, ins, volume);
    }
}

// The same bar of steps for bars [from, to) of an order position.
static void drum_bars(Writer& w, int order, int from, int to, int channel, uint8_t ins, int n,
                      const char* pattern, const char* volumes) {
    for (int bar = from; bar < to; bar++)
        steps(w, row_of(order, bar, 0), channel, ins, n, pattern, volumes);
}

// Bass over the chords: 'R' root, 'O' octave, '5' fifth, '7' seventh below
// the octave, '-' key off, '.' hold or rest. Lower case: softer.
static void bass_bar(Writer& w, int order, int bar, const char* pattern, int volume) {
    Chord c = chord_at(order, bar);
    int root = place(c.root, pitch("C2"));
    if (root > pitch("A2")) root -= 12;
    int row = row_of(order, bar, 0);
    for (int i = 0; i < BAR && pattern[i]; i++) {
        char ch = pattern[i];
        int n = 0;
        switch (ch) {
        case 'R':
        case 'r':
            n = root;
            break;
        case 'O':
        case 'o':
            n = root + 12;
            break;
        case '5':
            n = root + 7;
            break;
        case '7':
            n = root + (c.minor ? 10 : 11);
            break;
        case '-':
            key_off(w, row + i, CH_BASS);
            continue;
        default:
            continue;
        }
        note(w, row + i, CH_BASS, n, BASS, (ch == 'r' || ch == 'o') ? volume * 2 / 3 : volume);
    }
}

// The rhythmic figure: chord arpeggios on the pluck, one sixteenth a step
// ('x' accent, 'o' soft, '^' an octave up), the arpeggio effect spelling the
// triad inside each step.
static void pluck_bar(Writer& w, int order, int bar, const char* pattern, int volume, int lowest) {
    Chord c = chord_at(order, bar);
    int root = place(c.root, lowest);
    int row = row_of(order, bar, 0);
    for (int i = 0; i < BAR && pattern[i]; i++) {
        char ch = pattern[i];
        if (ch == '.') continue;
        int n = root + (ch == '^' ? 12 : 0);
        int v = ch == 'o' ? volume * 3 / 5 : (ch == 'x' || ch == '^') ? volume : volume * 4 / 5;
        note(w, row + i, CH_AUX, n, PLUCK, v);
        effect(w, row + i, CH_AUX, FX_ARPEGGIO, c.minor ? 0x37 : 0x47);
    }
}

// The theme, in three phrases over i-VI-III-VII (A minor; transposed for the
// climax). Phrase A states the motif (A C E, D C), A2 answers it and climbs,
// B moves it into long syncopated notes.
static const char* const THEME_A = "A4:6 C5:2 E5:4 D5:2 C5:2  D5:4 C5:2 A4:2 =:6 -:2 "
                                   "E5:6 G5:2 E5:4 D5:2 C5:2  D5:6 B4:2 G4:6 -:2";
static const char* const THEME_A2 = "A4:6 C5:2 E5:4 A5:4  G5:4 F5:2 E5:2 C5:6 -:2 "
                                    "E5:6 G5:2 C6:4 B5:2 G5:2  ~A5:4 G5:4 E5:6 -:2";
// A: the statement with grace-note slides into the bar openings.
static const char* const THEME_A_SLIDES = "G4:1 ~A4:5 C5:2 E5:4 D5:2 C5:2  D5:4 C5:2 A4:2 =:6 -:2 "
                                          "D5:1 ~E5:5 G5:2 E5:4 D5:2 C5:2  D5:6 B4:2 G4:6 -:2";
// C: the motif's outline in short stabs answered by falling thirds.
static const char* const THEME_C = "A5:2 -:2 A5:2 G5:2 E5:4 C5:4  F5:2 -:2 F5:2 E5:2 C5:4 A4:4 "
                                   "G5:2 -:2 G5:2 E5:2 C5:4 G4:4  B4:4 D5:4 G5:4 -:4";
static const char* const THEME_B = "E5:3 =:3 A5:2 G5:4 E5:4  F5:3 E5:3 C5:2 A4:6 -:2 "
                                   "G5:3 =:3 C6:2 B5:4 G5:4  A5:4 G5:4 D5:4 B4:2 D5:2";

// The diatonic third below `n` in the natural minor scale on `key`.
static int third_below(int n, int key) {
    static const int SCALE[7] = {0, 2, 3, 5, 7, 8, 10};
    int pc = ((n - 1) % 12 - key + 12) % 12;
    int degree = 0;
    while (degree < 7 && SCALE[degree] != pc) degree++;
    if (degree == 7) return n - 3;
    int down = degree - 2, octave = 0;
    if (down < 0) down += 7, octave = -12;
    return n - pc + SCALE[down] + octave;
}

// A second voice a third below a line (same tokens), for the climax.
static void harmony(Writer& w, int row, const LineStyle& s, const char* text, int key) {
    std::string out;
    const char* p = text;
    int previous = 0;
    while (*p) {
        while (*p == ' ') p++;
        if (!*p) break;
        std::string token;
        while (*p && *p != ' ') token += *p++;
        size_t colon = token.find(':');
        std::string name = token.substr(0, colon), length = token.substr(colon + 1);
        bool slide = name[0] == '~';
        if (slide) name = name.substr(1);
        if (name == "-" || name == "=") {
            out += token + " ";
            continue;
        }
        int n = third_below(pitch(name.c_str()) + s.transpose, key) - s.transpose;
        previous = n;
        static const char* NAMES[12] = {"C-", "C#", "D-", "D#", "E-", "F-",
                                        "F#", "G-", "G#", "A-", "A#", "B-"};
        out += std::string(slide ? "~" : "") + NAMES[(n - 1) % 12] + char('0' + (n - 1) / 12) +
               ":" + length + " ";
    }
    (void)previous;
    line(w, row, CH_AUX, s, out.c_str());
}

// Shared by several parts of the score.
static const int KEY_B = 11; // the climax key, as a pitch class
static const int C4 = pitch("C-4");
static const char* const TOMS4[4] = {"G-4", "E-4", "C-4", "A-3"};
static const char* const INTRO_MOTIF =
    "-:4 A4:6 C5:2 E5:8 D5:4 C5:4 A4:12 -:4 E5:6 D5:2 C5:4 A4:4 G4:4";
static const LineStyle BELL_LINE = {BELL, 32, 0, 0, 0, 0, false, 104};
static const LineStyle ECHO_LINE = {BELL, 13, 0, 0, 0, 0, false, 208};
static const char* const FIGURE = "x.ox.o^.x.ox.o^o";

// Order 0: intro. Pads on A minor and F, the bell states the motif with an
// echo to the right.
static void score_intro(Writer& w) {
    for (int bar = 0; bar < 4; bar++)
        pads(w, 0, bar, bar == 0, true, bar == 0 ? 26 : -1, bar == 0 ? 19 : -1);
    line(w, row_of(0, 0, 0), CH_LEAD, BELL_LINE, INTRO_MOTIF);
    line(w, row_of(0, 0, 3), CH_AUX, ECHO_LINE, INTRO_MOTIF);
}

// Order 1: the rhythmic figure enters over C and G.
static void score_figure(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 1, bar, false, true);
        pluck_bar(w, 1, bar, FIGURE, 34, pitch("G4"));
    }
    line(w, row_of(1, 0, 0), CH_LEAD, BELL_LINE, "-:8 E5:4 G5:4 C6:8 B5:8 G5:16 D5:8 B4:8");
}

// Order 2: the bass enters; the figure goes on.
static void score_bass_enters(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 2, bar, false, true);
        pluck_bar(w, 2, bar, FIGURE, 34, pitch("G4"));
        bass_bar(w, 2, bar, bar < 3 ? "R..-R..-R..-O..-" : "R..-R..-O..-5.O.", 36);
    }
}

// Order 3: drums at half time, a fill into the groove. The crash takes the
// second pad voice's channel from here on.
static void score_drums_enter(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 3, bar, false, false, bar == 0 ? 26 : -1);
        pluck_bar(w, 3, bar, FIGURE, 30, pitch("G4"));
        bass_bar(w, 3, bar, bar < 3 ? "R..-R..-R..-O..-" : "R..-R..-O.-O.5.", 36);
    }
    drum_bars(w, 3, 0, 3, CH_KICK, KICK, C4, "X.........x.....", "X:58 x:44");
    steps(w, row_of(3, 3, 0), CH_KICK, KICK, C4, "X.........x.X...", "X:58 x:44");
    drum_bars(w, 3, 0, 3, CH_SNARE, SNARE, C4, "........X.......", "X:54");
    steps(w, row_of(3, 3, 0), CH_SNARE, SNARE, C4, "........X...xxXX", "X:58 x:38");
    drum_bars(w, 3, 0, 4, CH_HAT, HAT, C4, "x.o.x.o.x.o.x.o.", "x:42 o:26");
    note(w, row_of(3, 0, 0), CH_PAD2, pitch("C#5"), CRASH, 30);
    effect(w, row_of(3, 0, 0), CH_PAD2, FX_PANNING, 160);
}

// Orders 4-6: the groove and the theme.
static void score_groove(Writer& w) {
    LineStyle lead = {LEAD, 36, 0, 6, 0x52, 0x10, true, 0};
    const char* themes[3] = {THEME_A, THEME_A2, THEME_B};
    for (int o = 4; o <= 6; o++) {
        for (int bar = 0; bar < 4; bar++) {
            pads(w, o, bar, false, false, o == 4 && bar == 0 ? 22 : -1);
            pluck_bar(w, o, bar, bar == 3 && o == 6 ? "x.ox.o^.x.o....." : "x.o..o^.x.o..o^.", 24,
                      pitch("G4"));
            bass_bar(w, o, bar, bar == 3 ? "R.-R..O.R.-R.O5O" : "R.-R..O.R.-R..O.", 34);
        }
        line(w, row_of(o, 0, 0), CH_LEAD, lead, themes[o - 4]);
        drum_bars(w, o, 0, 3, CH_KICK, KICK, C4, "X.....x.X.......", "X:60 x:46");
        steps(w, row_of(o, 3, 0), CH_KICK, KICK, C4,
              o == 6 ? "X.....x.X...X.X." : "X.....x.X.....x.", "X:60 x:46");
        drum_bars(w, o, 0, 3, CH_SNARE, SNARE, C4, "....X.......X..o", "X:58 o:20");
        drum_bars(w, o, 0, 4, CH_HAT, HAT, C4, "xoxoXoxoxoxoXoxo", "X:48 x:36 o:22");
        // Swing: the soft off-beat sixteenths come a tick late.
        for (int r = row_of(o, 0, 1); r < row_of(o + 1, 0, 0); r += 2)
            effect(w, r, CH_HAT, FX_EXTENDED, EX_NOTE_DELAY | 1);
        if (o < 6) {
            steps(w, row_of(o, 3, 0), CH_SNARE, SNARE, C4, "....X..o....X.oo", "X:58 o:22");
        } else {
            // Toms down into the full beat.
            steps(w, row_of(6, 3, 0), CH_SNARE, SNARE, C4, "....X...", "X:58");
            for (int i = 0; i < 4; i++)
                note(w, row_of(6, 3, 8 + 2 * i), CH_SNARE, pitch(TOMS4[i]), TOM, 50);
        }
    }
    note(w, row_of(4, 0, 0), CH_PAD2, pitch("C#5"), CRASH, 30);
}

// Orders 7-9: the full beat. A kick on every beat, open hats on the off-beats
// (after the crash has rung for two beats), pumping off-beat bass.
static void score_full_beat(Writer& w) {
    LineStyle lead_full = {LEAD, 43, 0, 6, 0x52, 0x10, true, 0};
    for (int o = 7; o <= 9; o++) {
        bool last = o == 9;
        for (int bar = 0; bar < 4; bar++) {
            pads(w, o, bar, false, false, o == 7 && bar == 0 ? 24 : -1);
            pluck_bar(w, o, bar, last && bar == 3 ? "x.ox.o^ox.ox...." : "x.ox.o^ox.ox^o^o", 22,
                      pitch("G4"));
            bass_bar(w, o, bar,
                     bar < 3 ? "-.RR-.R.-.RR-.O."
                             : (last ? "-.RR-.R.-.RR-..." : "-.RR-.R.-.RR-O5O"),
                     38);
        }
        const char* full_themes[3] = {THEME_A_SLIDES, THEME_A2, THEME_C};
        line(w, row_of(o, 0, 0), CH_LEAD, lead_full, full_themes[o - 7]);
        drum_bars(w, o, 0, 4, CH_KICK, KICK, C4, "X...X...X...X...", "X:64");
        drum_bars(w, o, 0, o >= 8 ? 3 : 4, CH_SNARE, SNARE, C4, "....X.......X...", "X:62");
        if (o == 8) // a short pickup into the last phrase
            steps(w, row_of(8, 3, 0), CH_SNARE, SNARE, C4, "....X.......XoXX", "X:62 o:30");
        drum_bars(w, o, 0, last ? 3 : 4, CH_HAT, HAT, C4, "XoxoXoxoXoxoXoxo", "X:56 x:40 o:26");
        note(w, row_of(o, 0, 0), CH_PAD2, pitch("C#5"), CRASH, 34);
        for (int bar = 0; bar < (last ? 3 : 4); bar++)
            for (int beat = bar == 0 ? 2 : 0; beat < 4; beat++) {
                int r = row_of(o, bar, beat * 4 + 2);
                note(w, r, CH_PAD2, pitch("A-5"), CRASH,
                     16); // an open hat: the crash, high and cut
                effect(w, r, CH_PAD2, FX_EXTENDED, EX_NOTE_CUT | 3);
            }
    }
    // End of 9: a roll of retriggered snares, then everything stops for the breakdown.
    steps(w, row_of(9, 3, 0), CH_SNARE, SNARE, C4, "....X...x.x.xxxx", "X:62 x:44");
    for (int i = 12; i < 16; i++) effect(w, row_of(9, 3, i), CH_SNARE, FX_RETRIGGER, 0x92);
    steps(w, row_of(9, 3, 0), CH_HAT, HAT, C4, "XoxoXoxoXoxo", "X:56 x:40 o:26");
    key_off(w, row_of(9, 3, 12), CH_PAD);
}

// Orders 10-11: the breakdown. F G Em Am; the bell sings the motif at half
// speed with its echo, the bass holds each chord.
static void score_breakdown(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 10, bar, bar == 0, true, bar == 0 ? 24 : -1, bar == 0 ? 18 : -1);
        pads(w, 11, bar, false, true);
    }
    // The bass holds each chord and glides into the next one.
    for (int o = 10; o <= 11; o++)
        for (int bar = 0; bar < 4; bar++) {
            bass_bar(w, o, bar, "R...............", 28);
            int next = o * 4 + bar + 1;
            Chord c = chord_at(next / 4, next % 4);
            int target = place(c.root, pitch("C2"));
            if (target > pitch("A2")) target -= 12;
            note(w, row_of(o, bar, 13), CH_BASS, target, 0, -1);
            effect(w, row_of(o, bar, 13), CH_BASS, FX_TONE_PORTA, 0x0C);
            for (int k = 14; k < 16; k++) effect(w, row_of(o, bar, k), CH_BASS, FX_TONE_PORTA, 0);
        }
    LineStyle bell_slow = {BELL, 28, 0, 0, 0, 0, false, 104};
    LineStyle echo_slow = {BELL, 12, 0, 0, 0, 0, false, 208};
    const char* slow_motif = "A4:8 C5:4 E5:4  D5:8 C5:4 B4:4  E5:12 G5:4  A5:16 "
                             "A5:8 G5:4 F5:4  D5:8 E5:4 G5:4  B5:8 G5:4 E5:4  A5:8 E5:4 C5:4";
    line(w, row_of(10, 0, 0), CH_LEAD, bell_slow, slow_motif);
    line(w, row_of(10, 0, 3), CH_AUX, echo_slow, slow_motif);
    // Order 11 brings back soft hats and a heartbeat kick.
    drum_bars(w, 11, 0, 4, CH_HAT, HAT, C4, "..x...x...x...x.", "x:28");
    drum_bars(w, 11, 2, 4, CH_KICK, KICK, C4, "X..x............", "X:40 x:26");
}

// Order 12: the build. Dm Em F F#: a roll that doubles every bar and grows
// louder, plucks climbing, kicks on every beat in the second half, a
// rising crash, then one beat of silence before the climax.
static void score_build(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 12, bar, bar == 0, bar < 2, bar == 0 ? 26 : -1, bar == 0 ? 20 : -1);
        pluck_bar(w, 12, bar,
                  bar < 2 ? "x.o^x.o^x.o^x.o^" : (bar == 2 ? "x^x^x^x^x^x^x^x^" : "x^x^x^x^x^x^"),
                  20 + 6 * bar, pitch(bar < 2 ? "D4" : "F4"));
        bass_bar(w, 12, bar, bar < 3 ? "R...R...R...R..." : "R.R.R.R.R.O.", 30 + 3 * bar);
    }
    key_off(w, row_of(12, 3, 12), CH_PAD);
    key_off(w, row_of(12, 3, 12), CH_PAD2);
    key_off(w, row_of(12, 3, 12), CH_AUX);
    key_off(w, row_of(12, 3, 12), CH_BASS);
    steps(w, row_of(12, 0, 0), CH_SNARE, SNARE, C4, "x...x...x...x...", "x:18");
    steps(w, row_of(12, 1, 0), CH_SNARE, SNARE, C4, "x.x.x.x.x.x.x.x.", "x:30");
    steps(w, row_of(12, 2, 0), CH_SNARE, SNARE, C4, "xxxxxxxxxxxxxxxx", "x:30");
    steps(w, row_of(12, 3, 0), CH_SNARE, SNARE, C4, "xxxxxxxxxxxx", "x:36");
    for (int i = 0; i < 12; i++) effect(w, row_of(12, 3, i), CH_SNARE, FX_RETRIGGER, 0xA2);
    drum_bars(w, 12, 2, 3, CH_KICK, KICK, C4, "X...X...X...X...", "X:54");
    steps(w, row_of(12, 3, 0), CH_KICK, KICK, C4, "X...X...X...", "X:58");
    drum_bars(w, 12, 0, 3, CH_HAT, HAT, C4, "x.x.x.x.x.x.x.x.", "x:30");
    for (int i = 0; i < 7; i++) {
        int r = row_of(12, 2, 0) + i * 4;
        note(w, r, CH_PAD2, C4 + i * 2, CRASH, 10 + 3 * i);
        effect(w, r, CH_PAD2, FX_PANNING, 160);
        for (int k = 1; k < 4; k++) effect(w, r + k, CH_PAD2, FX_PORTA_UP, 0x08);
    }
}

// Orders 13-16: climax in B minor: the theme a tone up with a second voice a
// third below, the full beat, a crash on every bar line.
static void score_climax(Writer& w) {
    LineStyle lead_up = {LEAD, 46, 2, 6, 0x53, 0x10, true, 0};
    LineStyle second = {LEAD, 27, 2, 0, 0, 0x10, true, 56};
    const char* climax_themes[4] = {THEME_A_SLIDES, THEME_A2, THEME_B, THEME_C};
    for (int o = 13; o <= 16; o++) {
        bool last = o == 14 || o == 16;
        for (int bar = 0; bar < 4; bar++) {
            pads(w, o, bar, o == 13 && bar == 0, false, o == 13 && bar == 0 ? 30 : -1);
            bass_bar(w, o, bar, bar == 3 ? "R.OR-.O.R.OR-O5O" : "R.OR-.O.R.OR-.O.", 40);
        }
        line(w, row_of(o, 0, 0), CH_LEAD, lead_up, climax_themes[o - 13]);
        harmony(w, row_of(o, 0, 0), second, climax_themes[o - 13], KEY_B);
        drum_bars(w, o, 0, last ? 3 : 4, CH_KICK, KICK, C4, "X...X...X...X...", "X:64");
        drum_bars(w, o, 0, last || o == 15 ? 3 : 4, CH_SNARE, SNARE, C4, "....X.......X...",
                  "X:64");
        if (o == 15) // sixteenths into the last climax pattern
            steps(w, row_of(15, 3, 0), CH_SNARE, SNARE, C4, "....X.......xxXX", "X:64 x:40");
        drum_bars(w, o, 0, 4, CH_HAT, HAT, C4, "XoxoXoxoXoxoXoxo", "X:60 x:44 o:28");
        for (int bar = 0; bar < 4; bar++) {
            note(w, row_of(o, bar, 0), CH_PAD2, pitch("C#5"), CRASH, bar == 0 ? 36 : 22);
            if (o == 13 && bar == 0) effect(w, row_of(o, bar, 0), CH_PAD2, FX_PANNING, 160);
            for (int beat = 1; beat < 4; beat++) {
                int r = row_of(o, bar, beat * 4 + 2);
                note(w, r, CH_PAD2, pitch("A-5"), CRASH, 24);
                effect(w, r, CH_PAD2, FX_EXTENDED, EX_NOTE_CUT | 3);
            }
        }
        if (last) {
            steps(w, row_of(o, 3, 0), CH_KICK, KICK, C4, "X...X...X...X.X.", "X:64");
            if (o == 14) {
                // A flam at the end: the last stroke two ticks late.
                steps(w, row_of(14, 3, 0), CH_SNARE, SNARE, C4, "....X.......X.xX", "X:64 x:40");
                effect(w, row_of(14, 3, 15), CH_SNARE, FX_EXTENDED, EX_NOTE_DELAY | 2);
            } else {
                steps(w, row_of(16, 3, 0), CH_SNARE, SNARE, C4, "....X...", "X:64");
                const char* toms8[8] = {"C-5", "A-4", "G-4", "E-4", "D-4", "C-4", "A-3", "G-3"};
                for (int i = 0; i < 8; i++)
                    note(w, row_of(16, 3, 8 + i), CH_SNARE, pitch(toms8[i]), TOM, 44 + i);
                // The pad slides away under the toms; the outro strikes it anew.
                for (int i = 8; i < 16; i++)
                    effect(w, row_of(16, 3, i), CH_PAD, FX_VOLUME_SLIDE, 0x01);
            }
        }
    }
}

// Order 17: outro in A minor. The theme once more, quieter; the drums thin
// out to the kick alone.
static void score_outro(Writer& w) {
    for (int bar = 0; bar < 4; bar++) {
        pads(w, 17, bar, bar == 0, true, bar == 0 ? 24 : -1, bar == 0 ? 18 : -1);
        bass_bar(w, 17, bar, bar < 2 ? "R.-R..O.R.-R..O." : "R.......R.......", 32);
        pluck_bar(w, 17, bar, bar < 2 ? "x.o..o^.x.o..o^." : "x...o...x...o...", 20 - 3 * bar,
                  pitch("G4"));
    }
    LineStyle lead_soft = {LEAD, 30, 0, 6, 0x52, 0x10, true, 0};
    line(w, row_of(17, 0, 0), CH_LEAD, lead_soft, THEME_A);
    // The theme's last note dies away in the volume column.
    for (int r = row_of(17, 3, 9); r < row_of(17, 3, 14); r++) volume_column(w, r, CH_LEAD, 0x62);
    drum_bars(w, 17, 0, 2, CH_KICK, KICK, C4, "X.....x.X.......", "X:52 x:38");
    drum_bars(w, 17, 2, 4, CH_KICK, KICK, C4, "X.......X.......", "X:40");
    drum_bars(w, 17, 0, 2, CH_SNARE, SNARE, C4, "....X.......X...", "X:44");
    drum_bars(w, 17, 0, 3, CH_HAT, HAT, C4, "x.o.x.o.x.o.x.o.", "x:34 o:20");
}

// Order 18: the last A minor chord; the bell plays the motif as in the
// intro, and everything fades out through the global volume.
static void score_last_chord(Writer& w) {
    pads(w, 18, 0, true, true, 30, 22);
    note(w, row_of(18, 0, 0), CH_BASS, pitch("A-1"), BASS, 36);
    key_off(w, row_of(18, 1, 0), CH_BASS);
    note(w, row_of(18, 0, 0), CH_KICK, C4, KICK, 44);
    line(w, row_of(18, 0, 0), CH_LEAD, BELL_LINE, "A4:6 C5:2 E5:8 D5:4 C5:4 A4:8 E4:8 A3:24");
    line(w, row_of(18, 0, 3), CH_AUX, ECHO_LINE, "A4:6 C5:2 E5:8 D5:4 C5:4 A4:8 E4:8 A3:21");
    key_off(w, row_of(18, 2, 0), CH_PAD);
    key_off(w, row_of(18, 2, 0), CH_PAD2);
    for (int r = row_of(18, 1, 0); r < row_of(18, 3, 0); r += 2)
        effect(w, r, CH_KICK, FX_GLOBAL_VOLUME_SLIDE, 0x01);
}

// The arrangement, order by order.
static void score(Writer& w) {
    score_intro(w);
    score_figure(w);
    score_bass_enters(w);
    score_drums_enter(w);
    score_groove(w);
    score_full_beat(w);
    score_breakdown(w);
    score_build(w);
    score_climax(w);
    score_outro(w);
    score_last_chord(w);
}

// Drops instrument numbers that repeat the channel's previous one on drum
// notes. Drums have no envelope, and every drum note sets its volume, so the
// note reset the number would run changes nothing; only bytes are saved.
static void elide_repeated_instruments(XmModuleDef& m) {
    for (int ch = 0; ch < CHANNELS; ch++) {
        uint8_t last = 0;
        for (XmPatternDef& p : m.patterns) // played in file order, once each
            for (int row = 0; row < ROWS; row++) {
                XmCell& c = xm_cell(p, CHANNELS, row, ch);
                bool drum = c.instrument == KICK || c.instrument == SNARE || c.instrument == HAT ||
                            c.instrument == TOM;
                bool plain = c.note >= 1 && c.note <= 96 && c.volume && c.effect != FX_PANNING &&
                             c.effect != FX_TONE_PORTA;
                if (drum && plain && c.instrument == last)
                    c.instrument = 0;
                else if (c.instrument)
                    last = c.instrument;
            }
    }
}

bool score_write(XmModuleDef& m) {
    Writer w = {&m, false};
    score(w);
    if (w.clash) return false;
    elide_repeated_instruments(m);
    return true;
}
