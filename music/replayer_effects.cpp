// Replayer: the later ticks of a row (every tick but the row tick, pattern
// delay ticks included). Slides, portamentos, vibrato, tremolo, arpeggio,
// tremor, retriggers, note cut and note delay, plus the waveform routines
// that the row tick shares.
#include "music/replayer.h"

#include <cmath>

// truncate(|sin(2p * 0.049087375)| * 256) for |p| = 0..31, with the constant
// in single precision: the peak is 255, at |p| = 16.
static const uint8_t SINE_TABLE[32] = {0,   25,  49,  74,  97,  120, 142, 162, 181, 197, 212,
                                       225, 236, 244, 251, 254, 255, 254, 251, 244, 236, 225,
                                       212, 197, 181, 162, 142, 120, 97,  74,  49,  25};

int32_t waveform_sine(int32_t p) {
    if (p == -32) return 0;
    return SINE_TABLE[(p < 0 ? -p : p) & 31];
}

int32_t waveform_value(int32_t wave, int32_t p, bool tremolo) {
    switch (wave & 3) {
    case 0:
        return waveform_sine(p);
    case 1:
        return p >= 0 ? 8 * (p & 31) : 255 - 8 * (p & 31);
    case 2:
        return 255;
    default:
        return tremolo ? waveform_sine(p) : 255;
    }
}

int32_t retrig_volume(int32_t op, int32_t volume) {
    switch (op) {
    case 0:
        return volume;
    case 1:
        volume -= 1;
        break;
    case 2:
        volume -= 2;
        break;
    case 3:
        volume -= 4;
        break;
    case 4:
        volume -= 8;
        break;
    case 5:
        volume -= 16;
        break;
    case 6:
        volume = volume * 2 / 3;
        break;
    case 7:
        volume >>= 1;
        break;
    case 9:
        volume += 1;
        break;
    case 10:
        volume += 2;
        break;
    case 11:
        volume += 4;
        break;
    case 12:
        volume += 8;
        break;
    case 13:
        volume += 16;
        break;
    case 14:
        volume = volume * 3 / 2;
        break;
    case 15:
        volume *= 2;
        break;
    default:
        break;
    }
    if (volume > 64) volume = 64;
    if (volume < 0) volume = 0;
    return volume;
}

void channel_tone_portamento(Channel* channel) {
    int32_t speed = 4 * channel->porta_speed;
    if (channel->period < channel->porta_target) {
        channel->period = wrap_add(channel->period, speed);
        if (channel->period > channel->porta_target) channel->period = channel->porta_target;
    } else if (channel->period > channel->porta_target) {
        channel->period = wrap_sub(channel->period, speed);
        if (channel->period < channel->porta_target) channel->period = channel->porta_target;
    }
    channel->update_flags |= UPDATE_FREQUENCY;
}

void channel_vibrato(Channel* channel) {
    int32_t p = channel->vibrato_position;
    int32_t w = waveform_value(channel->wave_control & 0x0F, p, false);
    int32_t d = ((channel->vibrato_depth * w) >> 5) & ~3;
    channel->period_delta = p >= 0 ? -d : d;
    channel->update_flags |= UPDATE_FREQUENCY;
}

static void advance_vibrato(Channel* channel) {
    int32_t p = channel->vibrato_position + channel->vibrato_speed;
    if (p > 31) p -= 64;
    channel->vibrato_position = int8_t(p);
}

void channel_tremolo(Channel* channel) {
    int32_t p = channel->tremolo_position;
    int32_t w = waveform_value(channel->wave_control >> 4, p, true);
    int32_t d = (channel->tremolo_depth * w) >> 6;
    if (p >= 0) {
        if (channel->volume + d > 64) d = 64 - channel->volume;
        channel->volume_delta = d;
    } else {
        if (channel->volume - d < 0) d = channel->volume;
        channel->volume_delta = -d;
    }
    p += channel->tremolo_speed;
    if (p > 31) p -= 64;
    channel->tremolo_position = int8_t(p);
    channel->update_flags |= UPDATE_VOLUME;
}

void channel_tremor(Channel* channel) {
    if (channel->tremor_count >= channel->tremor_on) channel->volume_delta = -channel->volume;
    channel->tremor_count++;
    if (channel->tremor_count >= channel->tremor_on + channel->tremor_off)
        channel->tremor_count = 0;
    channel->update_flags |= UPDATE_VOLUME;
}

static void volume_slide(Channel* channel) {
    uint8_t m = channel->volume_slide_memory;
    if (m >> 4) {
        channel->volume += m >> 4;
        if (channel->volume > 64) channel->volume = 64;
    } else {
        channel->volume -= m & 15;
        if (channel->volume < 0) channel->volume = 0;
    }
    channel->update_flags |= UPDATE_VOLUME;
}

static void volume_column_tick(Channel* channel, uint8_t v) {
    int32_t y = v & 15;
    switch (v >> 4) {
    case 0x6:
        channel->volume = channel->volume - y < 0 ? 0 : channel->volume - y;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case 0x7:
        channel->volume = channel->volume + y > 64 ? 64 : channel->volume + y;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case 0xB:
        channel->vibrato_depth = uint8_t(y);
        channel_vibrato(channel);
        advance_vibrato(channel);
        break;
    case 0xD:
        channel->panning = wrap_sub(channel->panning, y);
        channel->update_flags |= UPDATE_PANNING;
        break;
    case 0xE:
        channel->panning = wrap_add(channel->panning, y);
        channel->update_flags |= UPDATE_PANNING;
        break;
    case 0xF:
        channel_tone_portamento(channel);
        break;
    default:
        break;
    }
}

static void extended_tick(Channel* channel, Sample* sample, const NoteCell& cell) {
    const uint8_t x = cell.param >> 4, y = cell.param & 15;
    switch (x) {
    case EXTENDED_RETRIGGER:
        if (y != 0 && playback.tick % y == 0)
            channel->update_flags |= UPDATE_TRIGGER | UPDATE_FREQUENCY | UPDATE_VOLUME;
        break;
    case EXTENDED_NOTE_CUT:
        if (playback.tick == y) {
            channel->volume = 0;
            channel->update_flags |= UPDATE_VOLUME;
        }
        break;
    case EXTENDED_NOTE_DELAY:
        if (playback.tick == y) {
            channel_reset_note(channel, sample);
            channel->period = channel->note_period;
            channel->update_flags |= UPDATE_FREQUENCY;
            if (cell.volume != 0) channel_volume_column(channel, cell.volume);
            channel->update_flags |= UPDATE_TRIGGER;
        } else {
            channel->update_flags &=
                uint8_t(~(UPDATE_FREQUENCY | UPDATE_VOLUME | UPDATE_PANNING | UPDATE_TRIGGER));
        }
        break;
    default:
        break;
    }
}

static void arpeggio(const Song* song, Channel* channel, const Sample* sample, uint8_t param) {
    if (param == 0) return;
    channel->update_flags |= UPDATE_FREQUENCY;
    int32_t t = playback.tick % 3;
    if (t == 0) return; // the base note: the offset stays as it is
    int32_t n = t == 1 ? param >> 4 : param & 15;
    if (song->flags & LINEAR_FREQUENCY) {
        channel->period_delta = 64 * n;
    } else {
        channel->period_delta = wrap_sub(amiga_period(channel->real_note + n, sample->finetune),
                                         amiga_period(channel->real_note, sample->finetune));
    }
}

// Hxy on later ticks: up by x, else down by y, within 0..64.
static void global_volume_slide() {
    uint8_t m = playback.global_volume_slide_memory;
    if (m >> 4) {
        playback.global_volume += m >> 4;
        if (playback.global_volume > 64) playback.global_volume = 64;
    } else if (m & 15) {
        playback.global_volume -= m & 15;
        if (playback.global_volume < 0) playback.global_volume = 0;
    }
}

// Pxy on later ticks: right by x, else left by y, within 0..255.
static void panning_slide(Channel* channel) {
    uint8_t m = channel->panning_slide_memory;
    if (m >> 4) {
        channel->panning = wrap_add(channel->panning, m >> 4);
        if (channel->panning > 255) channel->panning = 255;
    } else if (m & 15) {
        channel->panning = wrap_sub(channel->panning, m & 15);
        if (channel->panning < 0) channel->panning = 0;
    }
    channel->update_flags |= UPDATE_PANNING;
}

// Rxy: every y ticks the note starts again, its volume changed by x.
static void multi_retrig(Channel* channel) {
    if (channel->retrig_interval == 0 || playback.tick % channel->retrig_interval != 0) return;
    if (channel->retrig_volume_op == 0) {
        channel->update_flags |= UPDATE_TRIGGER;
    } else {
        channel->volume = retrig_volume(channel->retrig_volume_op, channel->volume);
        channel->update_flags |= UPDATE_VOLUME | UPDATE_TRIGGER;
    }
}

// The envelopes move on, and a released note fades.
static void tick_envelopes(Channel* channel, const Instrument* ins) {
    if ((ins->volume_envelope.type & 1) && !channel->volume_env.done)
        channel_envelope_step(channel, ENVELOPE_VOLUME, ins);
    if ((ins->panning_envelope.type & 1) && !channel->panning_env.done)
        channel_envelope_step(channel, ENVELOPE_PANNING, ins);
    if (channel->key_off) {
        channel->fadeout_volume -= ins->fadeout;
        if (channel->fadeout_volume < 0) channel->fadeout_volume = 0;
        channel->update_flags |= UPDATE_VOLUME;
    }
}

// A later tick's half of the cell's effect: the slides and oscillators.
static void tick_effect(const Song* song, Channel* channel, Sample* sample, const NoteCell& cell) {
    switch (cell.effect) {
    case EFFECT_ARPEGGIO:
        arpeggio(song, channel, sample, cell.param);
        break;
    case EFFECT_PORTA_UP:
        channel->period = wrap_sub(channel->period, 4 * channel->porta_up_memory);
        if (channel->period < MIN_PORTA_UP_PERIOD) channel->period = MIN_PORTA_UP_PERIOD;
        channel->update_flags |= UPDATE_FREQUENCY;
        break;
    case EFFECT_PORTA_DOWN:
        channel->period = wrap_add(channel->period, 4 * channel->porta_down_memory);
        channel->update_flags |= UPDATE_FREQUENCY;
        break;
    case EFFECT_TONE_PORTA:
        channel_tone_portamento(channel);
        break;
    case EFFECT_VIBRATO:
        channel_vibrato(channel);
        advance_vibrato(channel);
        break;
    case EFFECT_TONE_PORTA_SLIDE:
        channel_tone_portamento(channel);
        volume_slide(channel);
        break;
    case EFFECT_VIBRATO_SLIDE:
        channel_vibrato(channel);
        advance_vibrato(channel);
        volume_slide(channel);
        break;
    case EFFECT_TREMOLO:
        channel_tremolo(channel);
        break;
    case EFFECT_VOLUME_SLIDE:
        volume_slide(channel);
        break;
    case EFFECT_EXTENDED:
        extended_tick(channel, sample, cell);
        break;
    case EFFECT_GLOBAL_VOLUME_SLIDE:
        global_volume_slide();
        break;
    case EFFECT_PANNING_SLIDE:
        panning_slide(channel);
        break;
    case EFFECT_MULTI_RETRIG:
        multi_retrig(channel);
        break;
    case EFFECT_TREMOR:
        channel_tremor(channel);
        break;
    default:
        break;
    }
}

static void channel_tick_step(const Song* song, Channel* channel, const NoteCell& cell) {
    const Instrument* ins = channel_instrument(song, channel);
    Sample* sample = channel_select_sample(song, channel, ins);
    channel->volume_delta = 0;
    channel->period_delta = 0;
    channel->update_flags = 0;

    tick_envelopes(channel, ins);
    volume_column_tick(channel, cell.volume);
    tick_effect(song, channel, sample, cell);

    channel_autovibrato(channel, ins);
    channel_update_voice(channel, sample, song);
}

void replayer_process_tick(const Song* song) {
    const NoteCell* row = replayer_current_row(song);
    if (!row) return;
    for (int32_t c = 0; c < song->channel_count; c++) channel_tick_step(song, &channels[c], row[c]);
}
