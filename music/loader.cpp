// XM loader: reads a module through the stream callbacks into a Song whose
// patterns are unpacked, whose samples are signed 16-bit with loop points in
// frames, and whose loops carry one guard frame for the interpolator.
//
// A module is untrusted input. Short reads leave zeros (every destination is
// cleared first), sample sizes are cut to what the stream can still supply,
// and loops are clamped to their sample, so no header can make the loader
// read, write or allocate beyond what the file itself accounts for.
//
// Here: the reader, the header and the patterns, and the Song's memory;
// the instruments and samples are in loader_instruments.cpp.
#include "music/loader.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

Sample empty_sample;

// The reason the last load on this thread stopped, for song_load_error and
// song_load_failure.
static thread_local char load_error[128];
static thread_local LoadFailure load_failure = LOAD_OK;
// The header up to the channel count's low byte (a count fits in it):
// less than this is no song.
static const int32_t HEADER_NEEDED_BYTES = 69;

// Cells of patterns that hold no data are all zero and only ever read, so
// they share one zero block (rows of up to 65535 x 32 cells) instead of each
// allocating its own: a tiny forged file can name thousands of empty patterns.
static const int32_t SHARED_EMPTY_CELLS = 65535 * MAX_CHANNELS;
static NoteCell empty_cells[SHARED_EMPTY_CELLS];

int16_t* sample_data_alloc(uint32_t length) {
    // One zero frame in front, `length` frames, then SAMPLE_PAD_BYTES of zeros.
    size_t bytes = 2 * size_t(length) + SAMPLE_PAD_BYTES + 2;
    int16_t* base = static_cast<int16_t*>(calloc(1, bytes));
    return base + 1;
}

int16_t* sample_work_alloc(uint32_t length) {
    // As sample_data_alloc, but the frames are left for the caller to write
    // every one of: zeroing them first costs more than the rest of a short
    // module's load.
    size_t bytes = 2 * size_t(length) + SAMPLE_PAD_BYTES + 2;
    int16_t* base = static_cast<int16_t*>(malloc(bytes));
    if (!base) return nullptr;
    base[0] = 0;
    memset(base + 1 + length, 0, SAMPLE_PAD_BYTES);
    return base + 1;
}

void sample_data_free(int16_t* data) {
    if (data) free(data - 1);
}

bool load_failed(LoadFailure kind, const char* format, ...) {
    load_failure = kind;
    va_list args;
    va_start(args, format);
    vsnprintf(load_error, sizeof load_error, format, args);
    va_end(args);
    return false;
}

void reading(LoadReader& r, LoadPart part, int32_t index) {
    r.part = part;
    r.part_index = index;
}

void note_missing(LoadReader& r) {
    if (r.missing_part != LOAD_COMPLETE) return;
    r.missing_part = r.part;
    r.missing_index = r.part_index;
}

int32_t read_bytes(LoadReader& r, void* dst, int32_t count) {
    const int32_t got = stream_read(dst, count, r.stream);
    if (got < count) {
        // A short read leaves zeros, never stale bytes; a full one overwrote them all.
        const int32_t kept = got > 0 ? got : 0;
        memset(static_cast<uint8_t*>(dst) + kept, 0, size_t(count - kept));
        note_missing(r);
    }
    return got;
}

uint8_t read_u8(LoadReader& r) {
    uint8_t b[1];
    read_bytes(r, b, 1);
    return b[0];
}

uint16_t read_u16(LoadReader& r) {
    uint8_t b[2];
    read_bytes(r, b, 2);
    return uint16_t(b[0] | b[1] << 8);
}

uint32_t read_u32(LoadReader& r) {
    uint8_t b[4];
    read_bytes(r, b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint16_t get_u16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

static int32_t clamp_offset(int64_t offset) {
    if (offset > INT32_MAX) return INT32_MAX;
    if (offset < INT32_MIN) return INT32_MIN;
    return int32_t(offset);
}

void seek_to(LoadReader& r, int64_t position) {
    stream_seek(r.stream, clamp_offset(position), STREAM_SEEK_SET);
}

void skip(LoadReader& r, int64_t count) {
    stream_seek(r.stream, clamp_offset(count), STREAM_SEEK_CUR);
}

int64_t bytes_left(LoadReader& r) {
    int64_t left = r.size - stream_tell(r.stream);
    return left < 0 ? 0 : left;
}

namespace {

void decode_cell(LoadReader& r, NoteCell& cell) {
    uint8_t b = read_u8(r);
    if (b & 0x80) {
        if (b & 0x01) cell.note = read_u8(r);
        if (b & 0x02) cell.instrument = read_u8(r);
        if (b & 0x04) cell.volume = read_u8(r);
        if (b & 0x08) cell.effect = read_u8(r);
        if (b & 0x10) cell.param = read_u8(r);
    } else {
        uint8_t rest[4];
        read_bytes(r, rest, 4);
        cell.note = b;
        cell.instrument = rest[0];
        cell.volume = rest[1];
        cell.effect = rest[2];
        cell.param = rest[3];
    }
    if (cell.note == 97) cell.note = NOTE_KEY_OFF;
    if (cell.instrument > 128) cell.instrument = 0;
}

NoteCell* empty_pattern_cells(int64_t cell_count) {
    if (cell_count <= SHARED_EMPTY_CELLS) return empty_cells;
    return static_cast<NoteCell*>(calloc(size_t(cell_count), sizeof(NoteCell)));
}

void read_patterns(LoadReader& r, Song* song, uint32_t file_pattern_count) {
    const int64_t channels = song->channel_count;
    for (uint32_t p = 0; p < file_pattern_count; p++) {
        reading(r, LOAD_PATTERN, int32_t(p));
        Pattern& pattern = song->patterns[p];
        read_u32(r); // header length: always taken to be 9
        read_u8(r);  // packing type
        uint16_t rows = read_u16(r);
        uint16_t packed_size = read_u16(r);
        if (rows == 0) { // no rows: a plain empty pattern, nothing read for it
            pattern.row_count = EMPTY_PATTERN_ROWS;
            pattern.cells = empty_pattern_cells(channels * EMPTY_PATTERN_ROWS);
            continue;
        }
        pattern.row_count = rows;
        int64_t cell_count = channels * rows;
        if (packed_size != 0 && bytes_left(r) == 0) note_missing(r);
        if (packed_size == 0 || bytes_left(r) == 0) {
            // Nothing to decode (or nothing left to decode it from): all zero.
            pattern.cells = empty_pattern_cells(cell_count);
            continue;
        }
        pattern.cells = static_cast<NoteCell*>(calloc(size_t(cell_count), sizeof(NoteCell)));
        for (int64_t i = 0; i < cell_count; i++) {
            // Past the end of a cut-off file every cell would decode as empty:
            // leave them so instead of decoding up to two million of them.
            if (i % channels == 0 && bytes_left(r) == 0) {
                note_missing(r);
                break;
            }
            decode_cell(r, pattern.cells[i]);
        }
    }
    for (int32_t p = int32_t(file_pattern_count); p < song->pattern_count; p++) {
        song->patterns[p].row_count = EMPTY_PATTERN_ROWS;
        song->patterns[p].cells = empty_pattern_cells(channels * EMPTY_PATTERN_ROWS);
    }
}

// The 17-byte signature; false (said why) for anything else.
bool read_signature(LoadReader& r) {
    stream_seek(r.stream, 0, STREAM_SEEK_SET);
    char signature[17];
    const int32_t got = read_bytes(r, signature, 17);
    if (memcmp(signature, "Extended Module: ", 17) == 0) return true;
    // The start of the signature and nothing after it: a module cut off.
    if (got > 0 && got < 17 && memcmp(signature, "Extended Module: ", size_t(got)) == 0)
        return load_failed(LOAD_FAILED_SHORT,
                           "header cut short at byte %d (the first %d are needed)", got,
                           HEADER_NEEDED_BYTES);
    return load_failed(LOAD_FAILED_NOT_XM, "not an XM module");
}

// The header up to the order table, leaving the reader at the first
// pattern; false (said why) without a usable channel count.
bool read_header(LoadReader& r, Song* song, uint16_t* file_pattern_count) {
    seek_to(r, 17);
    read_bytes(r, song->title, 20);
    seek_to(r, 38);
    read_bytes(r, song->tracker, 20);
    seek_to(r, 60);
    uint32_t header_size = read_u32(r);
    uint8_t h[6];
    read_bytes(r, h, 6);
    song->song_length = int16_t(get_u16(h));
    song->restart_position = int16_t(get_u16(h + 2));
    song->channel_count = int16_t(get_u16(h + 4));
    // Without a channel count there is nothing to play; a header cut off
    // later plays what it has.
    if (r.size < HEADER_NEEDED_BYTES)
        return load_failed(LOAD_FAILED_SHORT,
                           "header cut short at byte %d (the first %d are needed)",
                           int32_t(r.size < 0 ? 0 : r.size), HEADER_NEEDED_BYTES);
    *file_pattern_count = read_u16(r);
    uint8_t rest[264];
    read_bytes(r, rest, 264);
    song->instrument_count = int16_t(get_u16(rest));
    song->flags = get_u16(rest + 2);
    song->default_speed = int16_t(get_u16(rest + 4));
    song->default_bpm = int16_t(get_u16(rest + 6));
    memcpy(song->orders, rest + 8, ORDER_TABLE_SIZE);

    // The replayer holds MAX_CHANNELS channels; a song needs at least one.
    if (song->channel_count < 1 || song->channel_count > MAX_CHANNELS)
        return load_failed(LOAD_FAILED_CHANNELS, "channel count %d out of range (1 to %d)",
                           song->channel_count, MAX_CHANNELS);
    if (song->song_length > ORDER_TABLE_SIZE) song->song_length = ORDER_TABLE_SIZE;
    seek_to(r, 60 + int64_t(header_size));
    return true;
}

// Every pattern the file has or the order table names (those it lacks are
// empty).
void read_all_patterns(LoadReader& r, Song* song, uint16_t file_pattern_count) {
    int32_t referenced = 0;
    for (int32_t i = 0; i < song->song_length; i++)
        if (song->orders[i] >= referenced) referenced = song->orders[i] + 1;
    song->referenced_pattern_count = referenced;
    song->pattern_count = file_pattern_count > referenced ? file_pattern_count : referenced;
    song->patterns =
        static_cast<Pattern*>(calloc(size_t(song->pattern_count) + 1, sizeof(Pattern)));
    read_patterns(r, song, file_pattern_count);
}

} // namespace

bool xm_load(Song* song, Stream* stream) {
    LoadReader r{stream, 0, 0, LOAD_HEADER, 0, LOAD_COMPLETE, 0};
    if (!read_signature(r)) return false;
    song->tick_handler = replayer_tick;
    song->initial_global_volume = INITIAL_GLOBAL_VOLUME;

    stream_seek(stream, 0, STREAM_SEEK_END);
    r.size = stream_tell(stream);
    r.sample_budget = r.size;

    uint16_t file_pattern_count = 0;
    if (!read_header(r, song, &file_pattern_count)) return false;
    read_all_patterns(r, song, file_pattern_count);
    if (!read_instruments(r, song)) return false;
    song->missing_part = r.missing_part;
    song->missing_index = r.missing_index;
    return true;
}

Song* song_load(const char* name, SampleLoader sample_loader) {
    load_error[0] = 0;
    load_failure = LOAD_OK;
    Song* song = static_cast<Song*>(calloc(1, sizeof(Song)));
    Stream* stream = stream_open(name);
    if (!stream) {
        load_failed(LOAD_FAILED_OPEN, stream_callbacks_complete()
                                          ? "the stream source could not open it"
                                          : "no stream source registered");
        free(song);
        return nullptr;
    }
    song->sample_loader = sample_loader;
    bool loaded = xm_load(song, stream);
    stream_close(stream);
    if (loaded) return song;
    song_free(song);
    return nullptr;
}

bool song_set_start_order(Song* song, int order) {
    if (!song || order < 0 || order >= song->song_length) return false;
    song->start_order = int16_t(order);
    return true;
}

const char* song_load_error() {
    return load_error;
}

LoadFailure song_load_failure() {
    return load_failure;
}

bool song_free(Song* song) {
    if (!song) return false;
    output_wait_idle();
    player_stop(song);
    song_release(song);
    return true;
}

void song_release(Song* song) {
    if (song->instruments) {
        for (int32_t i = 0; i < song->instrument_count; i++) {
            Instrument& ins = song->instruments[i];
            for (int32_t j = 0; j < ins.sample_count; j++) {
                if (!ins.samples[j]) continue;
                sample_data_free(ins.samples[j]->data);
                free(ins.samples[j]);
            }
        }
        free(song->instruments);
    }
    if (song->patterns) {
        for (int32_t p = 0; p < song->pattern_count; p++)
            if (song->patterns[p].cells != empty_cells) free(song->patterns[p].cells);
        free(song->patterns);
    }
    free(song);
}
