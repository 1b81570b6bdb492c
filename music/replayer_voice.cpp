// Replayer: the per-tick arithmetic every channel step ends with. Volume and
// panning envelopes, the instrument's automatic vibrato, the linear and
// Amiga period systems, and the voice update that turns a Channel's
// update_flags into its Voice's sample, gains and 32.32 step.
//
// Floating point is evaluated in double precision with the single-precision
// constants widened, and truncated toward zero: that is what makes tempo,
// periods and frequencies agree to the last frame with other players of the
// same rules.
#include "music/replayer.h"

#include <cmath>

// ---- Envelopes ----------------------------------------------------------

void channel_envelope_step(Channel* channel, int32_t which, const Instrument* ins) {
    const bool volume = which == ENVELOPE_VOLUME;
    EnvelopeState& e = volume ? channel->volume_env : channel->panning_env;
    const Envelope& shape = volume ? ins->volume_envelope : ins->panning_envelope;
    const uint8_t update = volume ? UPDATE_VOLUME : UPDATE_PANNING;
    const EnvelopePoint* points = shape.points;
    int32_t count =
        shape.point_count > MAX_ENVELOPE_POINTS ? MAX_ENVELOPE_POINTS : shape.point_count;
    // Sustain and loop points beyond the stored ones are ignored, so the
    // envelope never reads past its last point.
    bool sustain = (shape.type & 2) && shape.sustain < count;
    bool loop = (shape.type & 4) && shape.loop_start < count && shape.loop_end < count;

    if (e.point >= 0 && e.point < count) {
        if (e.tick == points[e.point].x) {
            if (loop && e.point == shape.loop_end) {
                e.point = shape.loop_start;
                e.tick = points[e.point].x;
            }
            if (e.point == count - 1) {
                e.value = points[e.point].y;
                e.done = 1;
                channel->update_flags |= update;
                return;
            }
            if (sustain && e.point == shape.sustain && !channel->key_off) {
                e.value = points[e.point].y; // holds here until key off
                channel->update_flags |= update;
                return;
            }
            const EnvelopePoint& a = points[e.point];
            const EnvelopePoint& b = points[e.point + 1];
            int32_t dx = b.x - a.x;
            e.step = dx == 0 ? 0 : wrap_div(wrap_mul(b.y - a.y, 65536), dx);
            e.fixed = wrap_mul(a.y, 65536);
            e.point++;
        } else {
            e.fixed = wrap_add(e.fixed, e.step);
        }
    }
    e.value = int16_t(uint32_t(e.fixed) >> 16);
    e.tick = wrap_add(e.tick, 1);
    channel->update_flags |= update;
}

// ---- Instrument vibrato -------------------------------------------------

static int32_t autovibrato_wave(int32_t type, int32_t pos) {
    switch (type) {
    case 0:
        return replayer_autovibrato_sine(pos);
    case 1:
        return pos < 128 ? 64 : -64;
    case 2:
        return (128 - ((pos + 128) % 256)) >> 1;
    case 3:
        return (128 - ((384 - pos) % 256)) >> 1;
    default:
        return 0; // no such waveform: no vibrato
    }
}

void channel_autovibrato(Channel* channel, const Instrument* ins) {
    // No depth, no vibrato (most instruments): its sweep and position still run.
    if (ins->vibrato_depth != 0) {
        int32_t w = autovibrato_wave(ins->vibrato_type, channel->autovibrato_position);
        int32_t d = ins->vibrato_depth * w;
        if (ins->vibrato_sweep != 0) d = channel->autovibrato_sweep * d / ins->vibrato_sweep;
        channel->period_delta = wrap_add(channel->period_delta, d >> 6);
    }
    channel->autovibrato_sweep++;
    if (channel->autovibrato_sweep > ins->vibrato_sweep)
        channel->autovibrato_sweep = ins->vibrato_sweep;
    channel->autovibrato_position += ins->vibrato_rate;
    if (channel->autovibrato_position > 255) channel->autovibrato_position -= 256;
    channel->update_flags |= UPDATE_FREQUENCY;
}

// ---- Periods ------------------------------------------------------------

int32_t linear_period(int32_t note, int32_t finetune) {
    return 7680 - 64 * note - finetune / 2;
}

// The classic period of note k: 1712 for note 48, halving every octave.
static int32_t amiga_note_period(int32_t k) {
    return float_to_i32(13.375 * std::pow(2.0, (132 - k) * double(0.083333336f)));
}

int32_t amiga_period(int32_t note, int32_t finetune) {
    int32_t p = amiga_note_period(note);
    if (finetune < 0 && note != 0) {
        int32_t lower = amiga_note_period(note - 1);
        return wrap_add(p, wrap_mul(-finetune, wrap_sub(lower, p)) / 128);
    }
    int32_t higher = amiga_note_period(note + 1);
    return wrap_sub(p, wrap_mul(finetune, wrap_sub(p, higher)) / 128);
}

// ---- Voice update -------------------------------------------------------

// Gain of one side in 255ths: `side` is the pan weight of that side (0..255).
static int32_t side_gain(int32_t volume, int32_t side) {
    return wrap_mul(volume, side) / 255;
}

// A new note: a voice still sounding fades out while the note starts on its
// partner, so neither clicks. Returns the voice that now plays the channel.
static Voice* voice_trigger(Channel* channel, Voice* v, Sample* sample) {
    if (v->sample) {
        int32_t index = int32_t(v - voices);
        int32_t partner = index < PARTNER_OFFSET ? index + PARTNER_OFFSET : index - PARTNER_OFFSET;
        Voice* w = &voices[partner];
        *w = *v;
        w->index = partner;
        v->volume = 0;
        v->volume_copy = 0;
        v->target_left = 0;
        v->target_right = 0;
        channel->voice = w;
        v = w;
    }
    v->sample = sample;
    if (v->start_offset >= sample->loop_start + sample->loop_length) v->start_offset = 0;
    v->position = int32_t(v->start_offset);
    v->position_frac = 0;
    v->direction = DIR_FORWARD;
    v->start_offset = 0;
    v->current_left = 0;
    v->current_right = 0;
    v->ramp_frames_left = 0;
    return v;
}

static void voice_set_volume(const Channel* channel, Voice* v) {
    // 255 / 2^35 folds the four 0..64-ish factors (fadeout 0..65536)
    // into 255ths; the product needs 38 bits.
    int64_t product = int64_t(channel->volume + channel->volume_delta) * channel->volume_env.value *
                      channel->fadeout_volume * playback.global_volume;
    int32_t vol = float_to_i32(double(product) * double(7.4214768e-9f));
    v->volume = vol;
    v->volume_copy = vol;
    v->target_left = side_gain(vol, 255 - v->panning);
    v->target_right = side_gain(vol, v->panning);
}

static void voice_set_panning(const Channel* channel, Voice* v) {
    // The envelope moves a centred note by up to 128 either way, and a
    // note panned hard to one side not at all.
    int32_t p = channel->panning;
    int32_t off_centre = wrap_sub(p, 128);
    uint32_t distance = off_centre < 0 ? 0u - uint32_t(off_centre) : uint32_t(off_centre);
    int32_t room = wrap_sub(128, int32_t(distance)) / 32;
    int32_t pan = wrap_add(p, wrap_mul(room, channel->panning_env.value - 32));
    if (pan < 0) pan = 0;
    if (pan > 255) pan = 255;
    v->panning = pan;
    v->panning_copy = pan;
    v->target_left = side_gain(v->volume, 255 - pan);
    v->target_right = side_gain(v->volume, pan);
}

// `period` is the channel's period with its delta (not zero).
static void voice_set_frequency(const Song* song, const Channel* channel, Voice* v,
                                int32_t period) {
    int32_t freq;
    if (song->flags & LINEAR_FREQUENCY)
        freq = replayer_linear_frequency(4608 - int64_t(channel->period) + channel->period_delta);
    else
        freq = wrap_div(14317056, period);
    v->frequency = freq;
    uint32_t fs = uint32_t(freq < MIN_STEP_FREQUENCY ? MIN_STEP_FREQUENCY : freq);
    v->step_int = fs / MIX_RATE;
    v->step_frac = uint32_t((uint64_t(fs % MIX_RATE) << 32) / MIX_RATE);
}

void channel_update_voice(Channel* channel, Sample* sample, const Song* song) {
    Voice* v = channel->voice;
    // A zero period has no frequency: the voice keeps the one it had.
    int32_t period = wrap_add(channel->period, channel->period_delta);
    if (period == 0) channel->update_flags &= uint8_t(~UPDATE_FREQUENCY);
    const uint8_t flags = channel->update_flags;

    if (flags & UPDATE_TRIGGER) v = voice_trigger(channel, v, sample);
    if (flags & UPDATE_VOLUME) voice_set_volume(channel, v);
    if (flags & UPDATE_PANNING) voice_set_panning(channel, v);
    if (flags & UPDATE_FREQUENCY) voice_set_frequency(song, channel, v, period);
    if (flags & UPDATE_RESTART) {
        v->position = 0;
        v->position_frac = 0;
        v->start_offset = 0;
        v->direction = DIR_FORWARD; // a backward ping-pong leg would read below the sample
    }
}
