// vlorp music engine: the calls the host makes.
//
// Every module byte reaches the loader through five stream callbacks that
// the host registers once; playback runs on its own mixing thread and the
// host asks which order and row are being heard right now.
#pragma once
#include <cstdint>

typedef void* StreamHandle;
typedef StreamHandle (*StreamOpenFn)(const char* name);
typedef void (*StreamCloseFn)(StreamHandle handle);
typedef int32_t (*StreamReadFn)(void* buffer, int32_t count, StreamHandle handle);
typedef void (*StreamSeekFn)(StreamHandle handle, int32_t offset, uint8_t origin);
typedef int32_t (*StreamTellFn)(StreamHandle handle);

constexpr uint8_t STREAM_SEEK_SET = 0;
constexpr uint8_t STREAM_SEEK_CUR = 1;
constexpr uint8_t STREAM_SEEK_END = 2;

// Optional raw sample source: writes byte_count bytes of plain signed PCM
// (8-bit, or 16-bit little-endian) into a zero-filled destination.
typedef void (*SampleLoader)(void* destination, int32_t byte_count, int32_t bits,
                             int32_t instrument_index, int32_t sample_index);

struct Song;

// All five non-null registers the set; any null clears all five.
void stream_set_callbacks(StreamOpenFn open, StreamCloseFn close, StreamReadFn read,
                          StreamSeekFn seek, StreamTellFn tell);

Song* song_load(const char* name, SampleLoader sample_loader);
// Why the last song_load on this thread returned null, in a few words
// ("not an XM module", "channel count 33 out of range (1 to 32)", ...);
// "" after a load that succeeded.
const char* song_load_error();
// The same reason as a kind, for callers that act on it.
enum LoadFailure : uint8_t {
    LOAD_OK,
    LOAD_FAILED_OPEN,     // the stream source could not open it
    LOAD_FAILED_NOT_XM,   // no module signature
    LOAD_FAILED_SHORT,    // ends before the channel count
    LOAD_FAILED_CHANNELS, // channel count out of range
    LOAD_FAILED_SAMPLES,  // an instrument with too many samples
};
LoadFailure song_load_failure();
bool song_free(Song* song);

// The order entry that player_play and offline rendering start from (the
// first by default). False, changing nothing, if `order` is not below the
// song's length.
bool song_set_start_order(Song* song, int order);

bool player_play(Song* song);
bool player_stop(Song* song);
int player_get_order(Song* song);
int player_get_row(Song* song);
