#include "tests/fuzz/fuzz_play.h"
#include "music/engine.h"
#include "music/memsrc.h"
#include "music/output.h"

static const uint8_t* fuzz_data;
static int32_t fuzz_size;

static StreamHandle fuzz_open(const char*) {
    return memsrc_open_bytes(fuzz_data, fuzz_size);
}

bool fuzz_load_and_play(const uint8_t* data, size_t size, int blocks) {
    if (size > size_t(INT32_MAX)) return false;
    fuzz_data = data;
    fuzz_size = int32_t(size);
    stream_set_callbacks(fuzz_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell);
    Song* song = song_load("", nullptr);
    if (!song) return false;
    if (output_offline_start(song))
        for (int b = 0; b < blocks; b++) output_offline_mix_block(nullptr);
    song_free(song);
    return true;
}
