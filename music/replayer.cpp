// Replayer: the tick scheduler and row processing.
//
// replayer_tick is called by the block filler at every tick boundary. On the
// row tick it makes the pending order and row current and reads every cell
// of the row; on later ticks it runs the per-tick effects
// (replayer_effects.cpp). Each channel step ends in the voice update
// (replayer_voice.cpp), the only path from a Channel to its Voice.
#include "music/replayer.h"

#include <cstring>

const Instrument empty_instrument = {};
Channel channels[MAX_CHANNELS];
Playback playback;

// ---- Tempo and scheduler ------------------------------------------------

int32_t replayer_tick_frames(int32_t bpm) {
    double frames = 1000.0 / (double(bpm) * double(0.4f)) * MIX_RATE * double(0.001f);
    return float_to_i32(frames);
}

int32_t replayer_set_bpm(int32_t bpm) {
    // A tempo of 0 or below keeps the old one; a song that never had one
    // plays at the default, so a tick always lasts a positive number of frames.
    if (bpm > 0)
        playback.bpm = bpm;
    else if (playback.bpm <= 0)
        playback.bpm = DEFAULT_BPM;
    playback.samples_per_tick = replayer_tick_frames(playback.bpm);
    return playback.samples_per_tick;
}

int32_t replayer_pattern_rows(const Song* song, int32_t order) {
    int32_t pattern = song->orders[order & (ORDER_TABLE_SIZE - 1)];
    if (pattern >= song->pattern_count || song->patterns[pattern].row_count <= 0)
        return EMPTY_PATTERN_ROWS;
    return song->patterns[pattern].row_count;
}

const NoteCell* replayer_current_row(const Song* song) {
    int32_t pattern = song->orders[playback.order & (ORDER_TABLE_SIZE - 1)];
    if (pattern >= song->pattern_count || song->channel_count <= 0) return nullptr;
    const Pattern& p = song->patterns[pattern];
    if (!p.cells || playback.row < 0 || playback.row >= p.row_count) return nullptr;
    return p.cells + int64_t(playback.row) * song->channel_count;
}

// Where the song first repeats: tools render a song once by watching for the
// first row tick that re-enters an order entry already played, or that wraps
// past the last entry. Bookkeeping only; nothing here changes what plays.
static void track_start() {
    for (uint8_t& played : playback.orders_played) played = 0;
    playback.frames_ticked = 0;
    playback.repeat_frame = 0;
    playback.repeated = 0;
    playback.wrap_pending = 0;
}

static void track_row(bool entered_order) {
    uint8_t& played = playback.orders_played[playback.order & (ORDER_TABLE_SIZE - 1)];
    if (!playback.repeated && (playback.wrap_pending || (entered_order && played))) {
        playback.repeated = 1;
        playback.repeat_frame = playback.frames_ticked;
    }
    playback.wrap_pending = 0;
    played = 1;
}

void replayer_tick(Song* song) {
    // Play leaves next_row at -1, and every row tick sets it again: this is
    // the first tick since play.
    if (playback.tick == 0 && playback.next_row < 0 && playback.next_order < 0) track_start();

    if (playback.tick != 0) {
        if (!playback.timing_only) replayer_process_tick(song);
    } else {
        bool entered_order = playback.next_order >= 0;
        if (entered_order)
            playback.order = playback.next_order < song->song_length ? playback.next_order : 0;
        if (playback.next_row >= 0) playback.row = playback.next_row;
        if (playback.row >= replayer_pattern_rows(song, playback.order)) playback.row = 0;
        track_row(entered_order);

        replayer_process_row(song);

        if (playback.next_row == -1) {
            playback.next_row = playback.row + 1;
            if (playback.next_row >= replayer_pattern_rows(song, playback.order)) {
                playback.next_order = playback.order + 1;
                if (playback.next_order >= song->song_length) {
                    playback.next_order = song->restart_position;
                    playback.wrap_pending = 1;
                }
                playback.next_row = 0;
            }
        }
    }
    playback.tick++;
    if (playback.tick >= playback.speed + playback.pattern_delay) {
        playback.tick = 0;
        playback.pattern_delay = 0;
    }
    playback.frames_ticked += playback.samples_per_tick;
}

void replayer_reset(const Song* song) {
    // Every play starts from the module as loaded: no memory of an earlier one.
    playback = {};
    playback.global_volume = song->initial_global_volume;
    playback.next_order = -1;
    playback.next_row = -1;
    playback.speed = song->default_speed;
    playback.order = song->start_order;
    // A module without a tempo plays at 125 bpm.
    replayer_set_bpm(song->default_bpm > 0 ? song->default_bpm : DEFAULT_BPM);

    int32_t used = song->channel_count < 0 ? 0 : song->channel_count;
    if (used > MAX_CHANNELS) used = MAX_CHANNELS;
    memset(channels, 0, sizeof(Channel) * size_t(used));
    for (int32_t i = 0; i < used; i++) channels[i].voice = &voices[i];
}

// ---- Instrument and sample selection ------------------------------------

const Instrument* channel_instrument(const Song* song, const Channel* channel) {
    if (channel->instrument_index >= song->instrument_count) return &empty_instrument;
    return &song->instruments[channel->instrument_index];
}

Sample* channel_select_sample(const Song* song, const Channel* channel, const Instrument* ins) {
    if (channel->instrument_index >= song->instrument_count) return &empty_sample;
    if (channel->note_index >= KEYMAP_NOTES) return &empty_sample;
    uint8_t slot = ins->keymap[channel->note_index];
    if (slot >= MAX_INSTRUMENT_SAMPLES || !ins->samples[slot]) return &empty_sample;
    return ins->samples[slot];
}

// ---- Note reset and volume column ---------------------------------------

void channel_reset_note(Channel* channel, Sample* sample) {
    channel->volume = sample->volume;
    channel->panning = sample->panning;
    channel->volume_env.value = 64;
    channel->volume_env.point = 0;
    channel->volume_env.tick = 0;
    channel->volume_env.step = 0;
    channel->volume_env.done = 0;
    channel->panning_env.value = 32;
    channel->panning_env.point = 0;
    channel->panning_env.tick = 0;
    channel->panning_env.step = 0;
    channel->panning_env.done = 0;
    channel->key_off = 0;
    channel->fadeout_volume = FADEOUT_FULL;
    channel->autovibrato_sweep = 0;
    channel->autovibrato_position = 0;
    // Waveforms 4 and up keep their phase from note to note.
    if ((channel->wave_control & 0x0F) < 4) channel->vibrato_position = 0;
    if ((channel->wave_control >> 4) < 4) channel->tremolo_position = 0;
    channel->update_flags |= UPDATE_VOLUME | UPDATE_PANNING;
    channel->tremor_count = 0;
}

void channel_volume_column(Channel* channel, uint8_t value) {
    int32_t y = value & 15;
    switch (value >> 4) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x5:
        if (value > 0x50) return;
        channel->volume = value - 16;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case 0x6:
    case 0x8:
        channel->volume = channel->volume - y < 0 ? 0 : channel->volume - y;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case 0x7:
    case 0x9:
        channel->volume = channel->volume + y > 64 ? 64 : channel->volume + y;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case 0xA:
        channel->vibrato_speed = uint8_t(y);
        break;
    case 0xB:
        channel->vibrato_depth = uint8_t(y);
        break;
    case 0xC:
        channel->panning = 16 * y;
        channel->update_flags |= UPDATE_PANNING;
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
        // Glides to the new note without restarting the sample.
        if (y != 0) channel->porta_speed = uint8_t(16 * y);
        channel->porta_target = channel->note_period;
        channel->update_flags &= uint8_t(~UPDATE_TRIGGER);
        break;
    default:
        break;
    }
}

// ---- Row tick -----------------------------------------------------------

// Lxx: moves the volume envelope to tick xx, between the points around it.
static void envelope_set_position(Channel* channel, const Instrument* ins, int32_t xx) {
    const EnvelopePoint* points = ins->volume_envelope.points;
    int32_t count = ins->volume_envelope.point_count;
    int32_t j = 0;
    while (j + 1 < count && xx > points[j + 1].x) j++;
    channel->volume_env.point = j;
    if (j >= count - 1) {
        channel->volume_env.value = count > 0 ? points[count - 1].y : 0;
        channel->volume_env.done = 1;
        return;
    }
    channel->volume_env.done = 0;
    channel->volume_env.tick = xx;
    int32_t dx = points[j + 1].x - points[j].x;
    int32_t dy = wrap_mul(points[j + 1].y - points[j].y, 65536);
    channel->volume_env.step = dx == 0 ? 0 : wrap_div(dy, dx);
    channel->volume_env.fixed = wrap_add(wrap_mul(points[j].y, 65536),
                                         wrap_mul(xx - points[j].x, channel->volume_env.step));
    channel->volume_env.point = j + 1;
    channel->volume_env.value = channel->volume_env.fixed >> 16;
}

static void extended_row_tick(Channel* channel, Sample* sample, uint8_t x, uint8_t y,
                              int32_t saved_volume, int32_t saved_period, int32_t saved_panning) {
    switch (x) {
    case EXTENDED_FINE_PORTA_UP:
        if (y) channel->fine_porta_up_memory = y;
        channel->period = wrap_sub(channel->period, 4 * channel->fine_porta_up_memory);
        break;
    case EXTENDED_FINE_PORTA_DOWN:
        if (y) channel->fine_porta_down_memory = y;
        channel->period = wrap_add(channel->period, 4 * channel->fine_porta_down_memory);
        break;
    case EXTENDED_VIBRATO_WAVE:
        channel->wave_control = uint8_t((channel->wave_control & 0xF0) | y);
        break;
    case EXTENDED_FINETUNE:
        // The shared silent sample stays all zero for every song.
        if (sample != &empty_sample) sample->finetune = int8_t(y);
        break;
    case EXTENDED_PATTERN_LOOP:
        if (y == 0) {
            channel->loop_row = playback.row;
        } else {
            channel->loop_count = channel->loop_count == 0 ? y : channel->loop_count - 1;
            if (channel->loop_count != 0) playback.next_row = channel->loop_row;
        }
        break;
    case EXTENDED_TREMOLO_WAVE:
        channel->wave_control = uint8_t((channel->wave_control & 0x0F) | y << 4);
        break;
    case EXTENDED_SET_PANNING:
        channel->panning = 16 * y;
        channel->update_flags |= UPDATE_PANNING;
        break;
    case EXTENDED_FINE_VOLUME_UP:
        if (y) channel->fine_volume_slide_memory = y;
        channel->volume += channel->fine_volume_slide_memory;
        if (channel->volume > 64) channel->volume = 64;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case EXTENDED_FINE_VOLUME_DOWN:
        if (y) channel->fine_volume_slide_memory = y;
        channel->volume -= channel->fine_volume_slide_memory;
        if (channel->volume < 0) channel->volume = 0;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case EXTENDED_NOTE_DELAY:
        // The note waits for tick y; until then the voice hears nothing new.
        channel->volume = saved_volume;
        channel->period = saved_period;
        channel->panning = saved_panning;
        channel->update_flags &=
            uint8_t(~(UPDATE_FREQUENCY | UPDATE_VOLUME | UPDATE_PANNING | UPDATE_TRIGGER));
        break;
    case EXTENDED_PATTERN_DELAY:
        playback.pattern_delay = y * playback.speed;
        break;
    default:
        break;
    }
}

// The row's note, instrument, volume column and key-off: what the channel
// starts the row with, before the effect.
static void row_start_note(const Song* song, Channel* channel, const NoteCell& cell,
                           const Instrument* ins, Sample* sample, bool porta, bool has_note) {
    const uint8_t effect = cell.effect;
    // A tremolo that ends leaves its last offset in the volume.
    if (channel->last_effect == EFFECT_TREMOLO && effect != EFFECT_TREMOLO)
        channel->volume += channel->volume_delta;
    channel->volume_delta = 0;
    channel->last_effect = effect;
    channel->update_flags = 0;

    if (has_note) {
        channel->real_note = uint8_t(cell.note + sample->relative_note - 1);
        if (song->flags & LINEAR_FREQUENCY)
            channel->note_period = linear_period(channel->real_note, sample->finetune);
        else
            channel->note_period = amiga_period(channel->real_note, sample->finetune);
        if (!porta) channel->period = channel->note_period;
        channel->update_flags = UPDATE_TRIGGER;
    }
    channel->period_delta = 0;
    channel->update_flags |= UPDATE_FREQUENCY | UPDATE_VOLUME;

    if (cell.instrument != 0) channel_reset_note(channel, sample);
    if (cell.volume != 0) channel_volume_column(channel, cell.volume);
    if (cell.note == NOTE_KEY_OFF || effect == EFFECT_KEY_OFF) channel->key_off = 1;

    if (ins->volume_envelope.type & 1) {
        if (!channel->volume_env.done) channel_envelope_step(channel, ENVELOPE_VOLUME, ins);
    } else if (channel->key_off) {
        channel->volume_env.value = 0; // no envelope: key off silences at once
    }
    if ((ins->panning_envelope.type & 1) && !channel->panning_env.done)
        channel_envelope_step(channel, ENVELOPE_PANNING, ins);
    if (channel->key_off) {
        channel->fadeout_volume -= ins->fadeout;
        if (channel->fadeout_volume < 0) channel->fadeout_volume = 0;
        channel->update_flags |= UPDATE_VOLUME;
    }
}

// 9xx: where the next trigger starts in the sample.
static void row_sample_offset(Channel* channel, const Sample* sample, uint8_t param) {
    if (param) channel->sample_offset_memory = param;
    if (!channel->voice) return;
    uint32_t offset = uint32_t(channel->sample_offset_memory) * 256;
    if (offset >= sample->loop_start + sample->loop_length) {
        // Beyond the loop end: the playing sample restarts instead.
        channel->update_flags &= uint8_t(~UPDATE_TRIGGER);
        channel->update_flags |= UPDATE_RESTART;
    } else {
        channel->voice->start_offset = offset;
    }
}

// The effects on the whole song: jumps, speed and tempo, global volume.
// False for any other effect.
static bool row_song_effect(const Song* song, Channel* channel, const NoteCell& cell,
                            bool& position_jump) {
    const uint8_t param = cell.param, x = param >> 4, y = param & 15;
    switch (cell.effect) {
    case EFFECT_POSITION_JUMP:
        playback.next_row = 0;
        playback.next_order = param >= song->song_length ? 0 : param;
        position_jump = true;
        return true;
    case EFFECT_PATTERN_BREAK:
        playback.next_row = 10 * x + y;
        if (playback.next_row > 63) playback.next_row = 0;
        if (!position_jump) playback.next_order = playback.order + 1;
        if (playback.next_order >= song->song_length) playback.next_order = 0;
        return true;
    case EFFECT_SPEED:
        if (param < 32)
            playback.speed = param;
        else
            replayer_set_bpm(param);
        return true;
    case EFFECT_GLOBAL_VOLUME:
        playback.global_volume = param > 64 ? 64 : param;
        channel->update_flags |= UPDATE_VOLUME;
        return true;
    case EFFECT_GLOBAL_VOLUME_SLIDE:
        if (param) playback.global_volume_slide_memory = param;
        return true;
    default:
        return false;
    }
}

// The pitch effects' row tick: their memories, and the fine slides.
// False for any other effect.
static bool row_pitch_effect(Channel* channel, const NoteCell& cell) {
    const uint8_t param = cell.param, x = param >> 4, y = param & 15;
    switch (cell.effect) {
    case EFFECT_PORTA_UP:
        if (param) channel->porta_up_memory = param;
        return true;
    case EFFECT_PORTA_DOWN:
        if (param) channel->porta_down_memory = param;
        return true;
    case EFFECT_TONE_PORTA:
        if (param) channel->porta_speed = param;
        channel->porta_target = channel->note_period;
        channel->update_flags &= uint8_t(~(UPDATE_FREQUENCY | UPDATE_TRIGGER));
        return true;
    case EFFECT_VIBRATO:
        if (x) channel->vibrato_speed = x;
        if (y) channel->vibrato_depth = y;
        channel_vibrato(channel);
        return true;
    case EFFECT_TONE_PORTA_SLIDE:
        channel->porta_target = channel->note_period;
        if (param) channel->volume_slide_memory = param;
        channel->update_flags &= uint8_t(~(UPDATE_FREQUENCY | UPDATE_TRIGGER));
        return true;
    case EFFECT_VIBRATO_SLIDE:
        if (param) channel->volume_slide_memory = param;
        channel_vibrato(channel);
        return true;
    case EFFECT_EXTRA_FINE_PORTA:
        if (x == 1) {
            if (y) channel->xfine_porta_up_memory = y;
            channel->period = wrap_sub(channel->period, channel->xfine_porta_up_memory);
        } else if (x == 2) {
            if (y) channel->xfine_porta_down_memory = y;
            channel->period = wrap_add(channel->period, channel->xfine_porta_down_memory);
        }
        return true;
    default:
        return false;
    }
}

// The row tick's half of the cell's effect: memories, settings and jumps.
static void row_effect(const Song* song, Channel* channel, const NoteCell& cell,
                       const Instrument* ins, Sample* sample, int32_t saved_volume,
                       int32_t saved_period, int32_t saved_panning, bool& position_jump) {
    if (row_song_effect(song, channel, cell, position_jump) || row_pitch_effect(channel, cell))
        return;
    const uint8_t param = cell.param, x = param >> 4, y = param & 15;
    switch (cell.effect) {
    case EFFECT_TREMOLO:
        if (x) channel->tremolo_speed = x;
        if (y) channel->tremolo_depth = y;
        break;
    case EFFECT_SET_PANNING:
        channel->panning = param;
        channel->update_flags |= UPDATE_PANNING;
        break;
    case EFFECT_SAMPLE_OFFSET:
        row_sample_offset(channel, sample, param);
        break;
    case EFFECT_VOLUME_SLIDE:
        if (param) channel->volume_slide_memory = param;
        break;
    case EFFECT_SET_VOLUME:
        channel->volume = param;
        channel->update_flags |= UPDATE_VOLUME;
        break;
    case EFFECT_EXTENDED:
        extended_row_tick(channel, sample, x, y, saved_volume, saved_period, saved_panning);
        break;
    case EFFECT_ENVELOPE_POSITION:
        if (ins->volume_envelope.type & 1) envelope_set_position(channel, ins, param);
        break;
    case EFFECT_PANNING_SLIDE:
        if (param) {
            channel->panning_slide_memory = param;
            channel->update_flags |= UPDATE_PANNING;
        }
        break;
    case EFFECT_MULTI_RETRIG:
        if (param) {
            channel->retrig_volume_op = x;
            channel->retrig_interval = y;
        }
        break;
    case EFFECT_TREMOR:
        if (param) {
            channel->tremor_on = uint8_t(x + 1);
            channel->tremor_off = uint8_t(y + 1);
        }
        channel_tremor(channel);
        break;
    default:
        break;
    }
}

static void channel_row_step(const Song* song, Channel* channel, const NoteCell& cell,
                             bool& position_jump) {
    const uint8_t effect = cell.effect;
    const bool porta = effect == EFFECT_TONE_PORTA || effect == EFFECT_TONE_PORTA_SLIDE;
    const bool has_note = cell.note != 0 && cell.note != NOTE_KEY_OFF;

    if (cell.instrument != 0 && !porta) channel->instrument_index = uint8_t(cell.instrument - 1);
    if (has_note && !porta) channel->note_index = uint8_t(cell.note - 1);

    // A tone portamento keeps the previous instrument and note's sample.
    const Instrument* ins = channel_instrument(song, channel);
    Sample* sample = channel_select_sample(song, channel, ins);
    if (ins != &empty_instrument && !porta) channel->sample = sample;

    const int32_t saved_volume = channel->volume;
    const int32_t saved_period = channel->period;
    const int32_t saved_panning = channel->panning;

    row_start_note(song, channel, cell, ins, sample, porta, has_note);
    row_effect(song, channel, cell, ins, sample, saved_volume, saved_period, saved_panning,
               position_jump);

    channel_autovibrato(channel, ins);
    channel_update_voice(channel, sample, song);
}

void replayer_process_row(const Song* song) {
    playback.next_row = -1;
    playback.next_order = -1;
    bool position_jump = false;
    const NoteCell* row = replayer_current_row(song);
    if (!row) return;
    for (int32_t c = 0; c < song->channel_count; c++)
        channel_row_step(song, &channels[c], row[c], position_jump);
}
