// XM loader, the instruments and their samples: envelopes, the keymap and
// automatic vibrato, then each sample's header and its delta-coded data,
// widened to signed 16-bit with loop points in frames and one guard frame.
#include "music/loader.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Never allocate for more data than the file can still supply.
void limit_to_supply(LoadReader& r, Sample* s) {
    int64_t unit = s->bits / 8;
    int64_t supply = bytes_left(r) < r.sample_budget ? bytes_left(r) : r.sample_budget;
    if (int64_t(s->length) * unit > supply) {
        s->length = uint32_t(supply / unit);
        const LoadPart header = r.part;
        r.part = LOAD_SAMPLE; // the data is what is short, not the header
        note_missing(r);
        r.part = header;
    }
    r.sample_budget -= int64_t(s->length) * unit;
}

// Loops reaching beyond the sample are cut back to it; a sample without
// data has nothing to loop over. Allocates the data of the rest.
void fit_loop_and_allocate(Sample* s) {
    if (s->length != 0) {
        if (s->loop_type != LOOP_NONE && s->loop_start >= s->length) {
            s->loop_type = LOOP_NONE;
            s->loop_start = 0;
            s->loop_length = s->length;
        } else if (uint64_t(s->loop_start) + s->loop_length > s->length) {
            s->loop_length = s->length - s->loop_start;
        }
        s->data = sample_data_alloc(s->length);
    } else {
        // No data (or none left in a cut-off file).
        s->loop_type = LOOP_NONE;
        s->loop_start = 0;
        s->loop_length = 0;
    }
}

void read_sample_header(LoadReader& r, Sample* s) {
    uint8_t h[14];
    read_bytes(r, h, 14);
    s->length = get_u16(h) | uint32_t(get_u16(h + 2)) << 16;
    s->loop_start = get_u16(h + 4) | uint32_t(get_u16(h + 6)) << 16;
    s->loop_length = get_u16(h + 8) | uint32_t(get_u16(h + 10)) << 16;
    s->volume = h[12];
    s->finetune = int8_t(h[13]);
    s->loop_type = LOOP_NONE;
    s->bits = 8;
    uint8_t type = read_u8(r);
    if (type & 1) s->loop_type = LOOP_FORWARD;
    if (type & 2) s->loop_type = LOOP_PINGPONG;
    if (type & 0x10) s->bits = 16;
    if (s->loop_type == LOOP_NONE) {
        s->loop_start = 0;
        s->loop_length = s->length;
    }
    if (s->bits == 16) {
        s->length >>= 1;
        s->loop_start >>= 1;
        s->loop_length >>= 1;
    }
    if (s->loop_length == 0) {
        s->loop_start = 0;
        s->loop_length = s->length;
        s->loop_type = LOOP_NONE;
    }
    s->panning = read_u8(r);
    s->relative_note = int8_t(read_u8(r));
    skip(r, 23);

    limit_to_supply(r, s);
    fit_loop_and_allocate(s);
}

// Turns the deltas into sample values: running sums that wrap in 16 bits.
// Eight at a time where SSE2 is there: each lane adds the lanes below it in
// three shifted adds, then the sum carried from the eight before.
void decode_deltas(int16_t* data, uint32_t length) {
    uint32_t k = 0;
    uint16_t sum = 0;
#if defined(__SSE2__)
    __m128i carried = _mm_setzero_si128();
    for (; k + 8 <= length; k += 8) {
        __m128i* at = reinterpret_cast<__m128i*>(data + k);
        __m128i x = _mm_loadu_si128(at);
        x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi16(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi16(x, carried);
        _mm_storeu_si128(at, x);
        carried = _mm_shufflehi_epi16(x, 0xFF); // the last sum into every lane
        carried = _mm_unpackhi_epi64(carried, carried);
    }
    sum = uint16_t(_mm_cvtsi128_si32(carried));
#endif
    for (; k < length; k++) {
        sum = uint16_t(sum + uint16_t(data[k]));
        data[k] = int16_t(sum);
    }
}

// 8-bit values into the high byte of 16-bit frames, sixteen at a time where
// SSE2 is there.
void widen_bytes(int16_t* frames, const uint8_t* bytes, uint32_t length) {
    uint32_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; k + 16 <= length; k += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(frames + k), _mm_unpacklo_epi8(zero, x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(frames + k + 8), _mm_unpackhi_epi8(zero, x));
    }
#endif
    for (; k < length; k++) frames[k] = int16_t(uint16_t(bytes[k] << 8));
}

void read_sample_data(LoadReader& r, Song* song, Sample* s, int32_t instrument, int32_t index) {
    if (s->length == 0) return;
    int32_t byte_count = int32_t(int64_t(s->bits) * s->length / 8);
    int16_t* work = sample_work_alloc(s->length);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(work);
    if (song->sample_loader) {
        memset(bytes, 0, size_t(byte_count)); // a caller's loader may fill less
        song->sample_loader(bytes, byte_count, s->bits, instrument, index);
        skip(r, byte_count);
    } else {
        read_bytes(r, bytes, byte_count);
    }
    if (s->bits == 8) {
        widen_bytes(s->data, bytes, s->length);
        s->bits = 16;
        sample_data_free(work);
    } else {
        // The file is little-endian: such a machine holds the frames as read.
        if constexpr (std::endian::native != std::endian::little)
            for (uint32_t k = 0; k < s->length; k++)
                work[k] = int16_t(uint16_t(bytes[2 * k] | bytes[2 * k + 1] << 8));
        sample_data_free(s->data);
        s->data = work;
    }
    if (!song->sample_loader) decode_deltas(s->data, s->length);
    uint32_t end = s->loop_start + s->loop_length;
    if (s->loop_type == LOOP_PINGPONG)
        s->data[end] = s->data[end - 1];
    else if (s->loop_type == LOOP_FORWARD)
        s->data[end] = s->data[s->loop_start];
}

void read_envelope(const uint8_t* p, EnvelopePoint* points) {
    for (int i = 0; i < MAX_ENVELOPE_POINTS; i++) {
        points[i].x = get_u16(p + 4 * i);
        points[i].y = get_u16(p + 4 * i + 2);
    }
}

bool read_instrument(LoadReader& r, Song* song, int32_t index) {
    reading(r, LOAD_INSTRUMENT, index);
    Instrument& ins = song->instruments[index];
    int64_t start = stream_tell(r.stream);
    int32_t header_size = int32_t(read_u32(r));
    skip(r, 23);
    uint16_t sample_count = read_u16(r);
    if (sample_count > MAX_INSTRUMENT_SAMPLES)
        return load_failed(LOAD_FAILED_SAMPLES, "instrument %d has %u samples (at most %d)",
                           index + 1, unsigned(sample_count), MAX_INSTRUMENT_SAMPLES);
    ins.sample_count = sample_count;
    if (sample_count == 0) {
        for (Sample*& slot : ins.samples) slot = &empty_sample;
        seek_to(r, start + header_size);
        return true;
    }
    uint8_t h[212]; // positions 29 to 240 of the instrument header
    read_bytes(r, h, sizeof h);
    memcpy(ins.keymap, h + 4, KEYMAP_NOTES);
    read_envelope(h + 100, ins.volume_envelope.points);
    read_envelope(h + 148, ins.panning_envelope.points);
    const uint8_t* b = h + 196;
    // More than 12 points would index beyond the stored envelope.
    ins.volume_envelope.point_count = b[0] > MAX_ENVELOPE_POINTS ? MAX_ENVELOPE_POINTS : b[0];
    ins.panning_envelope.point_count = b[1] > MAX_ENVELOPE_POINTS ? MAX_ENVELOPE_POINTS : b[1];
    ins.volume_envelope.sustain = b[2];
    ins.volume_envelope.loop_start = b[3];
    ins.volume_envelope.loop_end = b[4];
    ins.panning_envelope.sustain = b[5];
    ins.panning_envelope.loop_start = b[6];
    ins.panning_envelope.loop_end = b[7];
    ins.volume_envelope.type = b[8];
    ins.panning_envelope.type = b[9];
    ins.vibrato_type = b[10];
    ins.vibrato_sweep = b[11];
    ins.vibrato_depth = b[12];
    ins.vibrato_rate = b[13];
    ins.fadeout = uint16_t(get_u16(b + 14) << 1);
    if (ins.volume_envelope.point_count < 2) ins.volume_envelope.type = 0;
    if (ins.panning_envelope.point_count < 2) ins.panning_envelope.type = 0;
    seek_to(r, start + header_size);

    for (int32_t j = 0; j < sample_count; j++) {
        ins.samples[j] = static_cast<Sample*>(calloc(1, sizeof(Sample)));
        read_sample_header(r, ins.samples[j]);
    }
    for (int32_t j = sample_count; j < MAX_INSTRUMENT_SAMPLES; j++) ins.samples[j] = &empty_sample;
    reading(r, LOAD_SAMPLE, index);
    for (int32_t j = 0; j < sample_count; j++) read_sample_data(r, song, ins.samples[j], index, j);
    return true;
}

} // namespace

bool read_instruments(LoadReader& r, Song* song) {
    int32_t instrument_count = song->instrument_count > 0 ? song->instrument_count : 0;
    song->instruments =
        static_cast<Instrument*>(calloc(size_t(instrument_count) + 1, sizeof(Instrument)));
    for (int32_t i = 0; i < instrument_count; i++) {
        if (bytes_left(r) == 0) {
            // Past the end of a cut-off file an instrument reads as one
            // without samples: set up the rest so without reading them.
            reading(r, LOAD_INSTRUMENT, i);
            note_missing(r);
            for (int32_t k = i; k < instrument_count; k++)
                for (Sample*& slot : song->instruments[k].samples) slot = &empty_sample;
            break;
        }
        if (!read_instrument(r, song, i)) return false;
    }
    return true;
}
