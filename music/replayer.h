// Replayer internals: the tick scheduler, row processing, per-tick effects,
// envelopes, periods and the voice update. Everything runs inside
// replayer_tick on the block-filling thread, once per tick.
//
// Glossary:
//   row tick     tick 0 of a row: cells are read, notes trigger
//   later tick   ticks 1 .. speed + pattern_delay - 1 of a row
//   period       pitch in linear units (64 per semitone) or Amiga units;
//                a larger period is a lower pitch
//   phase        vibrato/tremolo position, -32..31, 64 steps per cycle
//   16.16        envelope values: 64 << 16 is full volume
//   memory       an effect parameter kept when non-zero, reused when zero
//
// Arithmetic that malformed modules can push out of range wraps modulo 2^32
// (through unsigned types), and float-to-int conversions that do not fit give
// INT32_MIN, so no input reaches undefined behaviour.
#pragma once
#include "music/engine.h"

// Effect numbers as stored in the cells (A = 10 ... Z = 35).
constexpr uint8_t EFFECT_ARPEGGIO = 0;
constexpr uint8_t EFFECT_PORTA_UP = 1;
constexpr uint8_t EFFECT_PORTA_DOWN = 2;
constexpr uint8_t EFFECT_TONE_PORTA = 3;
constexpr uint8_t EFFECT_VIBRATO = 4;
constexpr uint8_t EFFECT_TONE_PORTA_SLIDE = 5;
constexpr uint8_t EFFECT_VIBRATO_SLIDE = 6;
constexpr uint8_t EFFECT_TREMOLO = 7;
constexpr uint8_t EFFECT_SET_PANNING = 8;
constexpr uint8_t EFFECT_SAMPLE_OFFSET = 9;
constexpr uint8_t EFFECT_VOLUME_SLIDE = 10;
constexpr uint8_t EFFECT_POSITION_JUMP = 11;
constexpr uint8_t EFFECT_SET_VOLUME = 12;
constexpr uint8_t EFFECT_PATTERN_BREAK = 13;
constexpr uint8_t EFFECT_EXTENDED = 14;
constexpr uint8_t EFFECT_SPEED = 15;
constexpr uint8_t EFFECT_GLOBAL_VOLUME = 16;
constexpr uint8_t EFFECT_GLOBAL_VOLUME_SLIDE = 17;
constexpr uint8_t EFFECT_KEY_OFF = 20;
constexpr uint8_t EFFECT_ENVELOPE_POSITION = 21;
constexpr uint8_t EFFECT_PANNING_SLIDE = 25;
constexpr uint8_t EFFECT_MULTI_RETRIG = 27;
constexpr uint8_t EFFECT_TREMOR = 29;
constexpr uint8_t EFFECT_EXTRA_FINE_PORTA = 33;

// Sub-commands of the extended effect Exy (x).
constexpr uint8_t EXTENDED_FINE_PORTA_UP = 1;
constexpr uint8_t EXTENDED_FINE_PORTA_DOWN = 2;
constexpr uint8_t EXTENDED_VIBRATO_WAVE = 4;
constexpr uint8_t EXTENDED_FINETUNE = 5;
constexpr uint8_t EXTENDED_PATTERN_LOOP = 6;
constexpr uint8_t EXTENDED_TREMOLO_WAVE = 7;
constexpr uint8_t EXTENDED_SET_PANNING = 8;
constexpr uint8_t EXTENDED_RETRIGGER = 9;
constexpr uint8_t EXTENDED_FINE_VOLUME_UP = 10;
constexpr uint8_t EXTENDED_FINE_VOLUME_DOWN = 11;
constexpr uint8_t EXTENDED_NOTE_CUT = 12;
constexpr uint8_t EXTENDED_NOTE_DELAY = 13;
constexpr uint8_t EXTENDED_PATTERN_DELAY = 14;

constexpr int32_t FADEOUT_FULL = 65536;     // fadeout_volume of a note not fading
constexpr int32_t MIN_PORTA_UP_PERIOD = 56; // 1xx never slides above this pitch
constexpr int32_t MIN_STEP_FREQUENCY = 100; // lower frequencies are stepped as 100 Hz

// Which envelope channel_envelope_step moves.
constexpr int32_t ENVELOPE_VOLUME = 0;
constexpr int32_t ENVELOPE_PANNING = 1;

// The instrument of channels whose instrument number is out of range: no
// samples, envelopes off, no vibrato, no fadeout.
extern const Instrument empty_instrument;

// ---- Scheduler and rows (replayer.cpp) ----------------------------------

void replayer_process_row(const Song* song);
// Rows of the pattern that order entry `order` names; a pattern number the
// song lacks plays as EMPTY_PATTERN_ROWS rows without cells.
int32_t replayer_pattern_rows(const Song* song, int32_t order);
// The channel_count cells of the current row, or null for a row without cells.
const NoteCell* replayer_current_row(const Song* song);
// The instrument and sample a channel's instrument_index and note_index select.
const Instrument* channel_instrument(const Song* song, const Channel* channel);
Sample* channel_select_sample(const Song* song, const Channel* channel, const Instrument* ins);
void channel_reset_note(Channel* channel, Sample* sample);
void channel_volume_column(Channel* channel, uint8_t value);

// ---- Later ticks (replayer_effects.cpp) ---------------------------------

void replayer_process_tick(const Song* song);
void channel_tone_portamento(Channel* channel);
void channel_vibrato(Channel* channel);
void channel_tremolo(Channel* channel);
void channel_tremor(Channel* channel);
// Waveform value 0..255 of vibrato/tremolo shape `wave` (0..15) at phase p.
int32_t waveform_value(int32_t wave, int32_t p, bool tremolo);
// |sin| shape used by both: truncate(|sin(2p * 0.049087375)| * 256).
int32_t waveform_sine(int32_t p);
// Multi-retrigger volume operation x applied to `volume`, limited to 0..64.
int32_t retrig_volume(int32_t op, int32_t volume);

// ---- Envelopes, periods, voices (replayer_voice.cpp) --------------------

void channel_envelope_step(Channel* channel, int32_t which, const Instrument* ins);
void channel_autovibrato(Channel* channel, const Instrument* ins);
int32_t amiga_period(int32_t note, int32_t finetune);
int32_t linear_period(int32_t note, int32_t finetune);
void channel_update_voice(Channel* channel, Sample* sample, const Song* song);

// ---- Memoised functions (replayer_tables.cpp) ---------------------------

// 8363 * 2^(x * 0.0013020834f) truncated: the frequency of a linear period,
// x = 4608 - period + period delta.
int32_t replayer_linear_frequency(int64_t x);
// sin(pos * 0.024543688f) * 64 truncated: the instrument vibrato's sine.
int32_t replayer_autovibrato_sine(int32_t pos);

// ---- Wrapping arithmetic ------------------------------------------------

inline int32_t wrap_add(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) * uint32_t(b));
}
// Truncating division; INT32_MIN / -1 wraps to INT32_MIN instead of trapping.
inline int32_t wrap_div(int32_t a, int32_t b) {
    return int32_t(uint32_t(int64_t(a) / b));
}
// Truncation toward zero; values that do not fit (and NaN) give INT32_MIN.
inline int32_t float_to_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return int32_t(v);
}
