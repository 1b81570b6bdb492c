// Internal records of the music engine, shared by loader, replayer, mixer
// and output driver. Programs play songs through music.h; the show, the
// host and vlorp-xm also use output.h for offline rendering and the
// per-block TimeInfo record defined here.
//
// Glossary (units used throughout the engine):
//   frame     one stereo output sample pair at MIX_RATE (44 100 Hz)
//   tick      samples_per_tick frames; `speed` ticks make a row
//   block     BLOCK_FRAMES (884) frames, the unit the mixing thread refills
//   16.16     envelope values: high half integer, low half fraction
//   32.32     play positions and steps: int frame index + u32 fraction
//   gain      in 255ths (255 = unity); current gains carry 8 more bits
#pragma once
#include "music.h"
#include <cstdint>

// ---- Song data (loader) -------------------------------------------------

constexpr int32_t INITIAL_GLOBAL_VOLUME = 64;
constexpr int32_t EMPTY_PATTERN_ROWS = 64;
constexpr int32_t MAX_INSTRUMENT_SAMPLES = 16;
constexpr int32_t SAMPLE_PAD_BYTES = 16;
constexpr int32_t MAX_CHANNELS = 32;
constexpr int32_t MAX_ENVELOPE_POINTS = 12;
constexpr int32_t KEYMAP_NOTES = 96;
constexpr int32_t ORDER_TABLE_SIZE = 256;
constexpr uint8_t NOTE_KEY_OFF = 255;
constexpr uint8_t LOOP_NONE = 1;
constexpr uint8_t LOOP_FORWARD = 2;
constexpr uint8_t LOOP_PINGPONG = 4;
constexpr uint16_t LINEAR_FREQUENCY = 1;

struct NoteCell {
    uint8_t note;
    uint8_t instrument;
    uint8_t volume;
    uint8_t effect;
    uint8_t param;
};

struct Pattern {
    int32_t row_count;
    NoteCell* cells; // row r, channel c at r * channel_count + c
};

struct EnvelopePoint {
    uint16_t x; // ticks
    uint16_t y; // value
};

// One of an instrument's two envelopes (volume, panning): the points and
// how they are walked.
struct Envelope {
    EnvelopePoint points[MAX_ENVELOPE_POINTS];
    uint8_t point_count;
    uint8_t sustain; // the point held until key off
    uint8_t loop_start;
    uint8_t loop_end;
    uint8_t type; // bit 0 on, bit 1 sustain, bit 2 loop
};

struct Sample {
    int16_t* data; // length frames + 8 zero frames; one zero frame also sits before data[0]
    uint32_t length;
    uint32_t loop_start;
    uint32_t loop_length;
    uint8_t volume;
    int8_t finetune;
    int32_t panning;
    uint8_t bits;
    uint8_t loop_type;
    int8_t relative_note;
};

struct Instrument {
    int32_t sample_count;
    Sample* samples[MAX_INSTRUMENT_SAMPLES];
    uint8_t keymap[KEYMAP_NOTES];
    Envelope volume_envelope;
    Envelope panning_envelope;
    uint8_t vibrato_type;
    uint8_t vibrato_sweep;
    uint8_t vibrato_depth;
    uint8_t vibrato_rate;
    uint16_t fadeout;
};

typedef void (*TickHandler)(Song* song);

// The parts of a module file, in file order.
enum LoadPart : uint8_t {
    LOAD_COMPLETE = 0, // nothing missing
    LOAD_HEADER,
    LOAD_PATTERN,    // missing_index: the pattern
    LOAD_INSTRUMENT, // missing_index: the instrument's header
    LOAD_SAMPLE,     // missing_index: the instrument whose sample data is short
};

// The loaded module. The loader writes it; play only reads it, apart from
// the set-finetune effect, which writes into its samples as it plays. Where
// play stands is the replayer's Playback, below.
struct Song {
    Pattern* patterns;
    Instrument* instruments;
    int16_t song_length;
    int16_t restart_position;
    int16_t channel_count;
    int32_t referenced_pattern_count;
    int32_t pattern_count;
    int16_t instrument_count;
    uint16_t flags;
    int16_t default_speed;
    int16_t default_bpm;
    uint8_t orders[ORDER_TABLE_SIZE];
    uint8_t initial_global_volume;
    TickHandler tick_handler;
    SampleLoader sample_loader;
    // Where the file first fell short of what its own headers describe (a
    // module cut off): that part and everything after it were missing and
    // play as silence. Written by the loader only, for tools that warn.
    uint8_t missing_part; // LoadPart
    int32_t missing_index;
    // The module's own name and the program that saved it, as stored (20
    // bytes each, NUL-terminated here).
    char title[21];
    char tracker[21];
    // The order entry play starts from: the caller's choice
    // (song_set_start_order; 0 by default).
    int16_t start_order;
};

extern Sample empty_sample; // shared all-zero sample; never written, never freed

// Sample buffers: one zero frame in front of data[0] so a read of the frame
// before the first stays inside the allocation. Releases what the loader made.
int16_t* sample_data_alloc(uint32_t length);
// The same layout with only the front frame and the padding zeroed.
int16_t* sample_work_alloc(uint32_t length);
void sample_data_free(int16_t* data);

bool xm_load(Song* song, struct Stream* stream);
// Releases a Song that is not playing, leaving whatever plays alone
// (song_free stops playback first, whichever Song plays).
void song_release(Song* song);

// ---- Stream wrappers ----------------------------------------------------

struct Stream {
    StreamHandle handle;
};

Stream* stream_open(const char* name);
void stream_close(Stream* stream);
int32_t stream_read(void* buffer, int32_t count, Stream* stream);
void stream_seek(Stream* stream, int32_t offset, uint8_t origin);
int32_t stream_tell(Stream* stream);
bool stream_callbacks_complete();

// ---- Mixer voices -------------------------------------------------------

constexpr int32_t VOICE_COUNT = 256;
constexpr int32_t MIXED_VOICES = 64;
constexpr int32_t PARTNER_OFFSET = 32;
constexpr int32_t DIR_FORWARD = 1;
constexpr int32_t DIR_BACKWARD = 2;

struct Voice {
    int32_t index;
    int32_t volume_copy;
    int32_t frequency;
    int32_t panning_copy;
    int32_t volume;
    int32_t panning;
    uint32_t start_offset;
    const Sample* sample;
    int32_t target_left;
    int32_t target_right;
    int32_t position;
    uint32_t position_frac;
    uint32_t step_frac;
    uint32_t step_int;
    int32_t direction;
    int32_t ramp_target_left;
    int32_t ramp_target_right;
    int32_t current_left;
    int32_t current_right;
    float ramp_delta_left;
    float ramp_delta_right;
    int32_t ramp_frames_left;
};

// The mixer's (mixer.cpp): the replayer sets them up, the mixer plays them.
extern Voice voices[VOICE_COUNT];

// ---- Replayer channels --------------------------------------------------

constexpr uint8_t UPDATE_FREQUENCY = 0x01;
constexpr uint8_t UPDATE_VOLUME = 0x02;
constexpr uint8_t UPDATE_PANNING = 0x04;
constexpr uint8_t UPDATE_TRIGGER = 0x08;
constexpr uint8_t UPDATE_RESTART = 0x20;

// Where a channel is in one envelope: the tick, the point it heads for and
// the 16.16 value moving towards it.
struct EnvelopeState {
    int32_t tick;
    int32_t point;
    int32_t fixed; // 16.16
    int32_t value;
    int32_t step; // 16.16 per tick
    uint8_t done;
};

struct Channel {
    uint8_t note_index;
    uint8_t update_flags;
    Voice* voice;
    Sample* sample;
    int32_t period;
    int32_t volume;
    int32_t panning;
    int32_t volume_delta;
    int32_t period_delta;
    EnvelopeState volume_env;
    EnvelopeState panning_env;
    int32_t fadeout_volume;
    int32_t autovibrato_position;
    int32_t autovibrato_sweep;
    uint8_t key_off;
    uint8_t instrument_index;
    uint8_t real_note;
    int32_t note_period;
    uint8_t last_effect;
    int32_t sample_offset_memory;
    uint8_t porta_down_memory;
    uint8_t porta_up_memory;
    uint8_t xfine_porta_down_memory;
    uint8_t xfine_porta_up_memory;
    uint8_t volume_slide_memory;
    uint8_t panning_slide_memory;
    uint8_t retrig_volume_op;
    uint8_t retrig_interval;
    int32_t porta_target;
    uint8_t porta_speed;
    int8_t vibrato_position;
    uint8_t vibrato_speed;
    uint8_t vibrato_depth;
    int8_t tremolo_position;
    uint8_t tremolo_speed;
    uint8_t tremolo_depth;
    uint8_t tremor_count;
    uint8_t tremor_on;
    uint8_t tremor_off;
    int32_t loop_row;
    int32_t loop_count;
    uint8_t wave_control;
    uint8_t fine_volume_slide_memory;
    uint8_t fine_porta_up_memory;
    uint8_t fine_porta_down_memory;
};

// The replayer's (replayer.cpp), each wired to the voice of its number.
extern Channel channels[MAX_CHANNELS];

// ---- Playback state -----------------------------------------------------

// Where play stands in the song that plays (one at a time). The replayer's:
// replayer_reset starts it from the song's start, replayer_tick moves it on;
// the output driver reads the tick's length and the order and row reached.
struct Playback {
    int32_t samples_per_tick;
    int32_t global_volume;
    uint8_t global_volume_slide_memory;
    int32_t tick;
    int32_t speed;
    int32_t bpm;
    int32_t row;
    int32_t order;
    int32_t pattern_delay;
    int32_t next_row;
    int32_t next_order;
    // Where the song first repeats (re-enters an order entry it has played,
    // or wraps past the last one), for tools that play a song once. Kept by
    // replayer_tick from the first tick after play; never changes what plays.
    int64_t frames_ticked; // frames of every tick begun since play
    int64_t repeat_frame;  // frame at which the repeating row tick began
    uint8_t repeated;      // 1 once repeat_frame is known
    uint8_t wrap_pending;  // the coming row tick wraps past the last entry
    uint8_t orders_played[ORDER_TABLE_SIZE];
    // Set while a song's length is measured: the ticks between row ticks
    // only slide, shake and ramp what is heard (they write no position,
    // speed or tempo), so they are skipped.
    uint8_t timing_only;
};

extern Playback playback;

// ---- Output settings ----------------------------------------------------

constexpr int32_t MIX_RATE = 44100;
constexpr int32_t OUTPUT_BUFFER_MS = 1000;
constexpr int32_t BLOCK_MS = 20;

struct TimeInfo {
    uint8_t order;
    uint8_t row;
    int32_t elapsed_ms;
} __attribute__((packed));

// Output driver: waits until the mixing thread is between blocks.
void output_wait_idle();

// Tempo for modules whose header gives none (0 or below).
constexpr int32_t DEFAULT_BPM = 125;

// The replayer's tick entry and play's start (replayer.cpp): the playback
// state from the song's start order, channels cleared and wired.
void replayer_tick(Song* song);
void replayer_reset(const Song* song);
// The tempo rule: frames per tick at `bpm` (above 0), and the tempo set for
// what plays (0 or below keeps the one it has). Both give the tick's frames.
int32_t replayer_tick_frames(int32_t bpm);
int32_t replayer_set_bpm(int32_t bpm);
