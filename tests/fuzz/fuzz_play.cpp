#include "tests/fuzz/fuzz_play.h"
#include "music/engine.h"
#include "music/memsrc.h"
#include "music/mixer.h"
#include "music/output.h"

static const uint8_t* fuzz_data;
static int32_t fuzz_size;
static TickHandler fuzz_song_tick;

static StreamHandle fuzz_open(const char*) {
    return memsrc_open_bytes(fuzz_data, fuzz_size);
}

// Runs the song's own tick, then cuts the tick short: the replayer sees
// every tick it would see, only fewer frames are mixed between them.
static void fuzz_fast_tick(Song* song) {
    fuzz_song_tick(song);
    if (playback.samples_per_tick > FUZZ_FAST_TICK_FRAMES)
        playback.samples_per_tick = FUZZ_FAST_TICK_FRAMES;
}

// Writes exactly the bytes it is asked for: under ASan, a destination the
// loader sized too small for them shows at once.
static void fuzz_sample_loader(void* destination, int32_t byte_count, int32_t bits,
                               int32_t instrument, int32_t sample) {
    uint8_t* bytes = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < byte_count; i++)
        bytes[i] = uint8_t(i * 37 + bits + instrument + sample);
}

// Inputs of odd length load their sample data through a sample loader, so
// both ways of reading samples are fuzzed.
static Song* fuzz_song_load(const uint8_t* data, size_t size) {
    if (size > size_t(INT32_MAX)) return nullptr;
    fuzz_data = data;
    fuzz_size = int32_t(size);
    stream_set_callbacks(fuzz_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell);
    return song_load("", size % 2 ? fuzz_sample_loader : nullptr);
}

bool fuzz_load(const uint8_t* data, size_t size) {
    Song* song = fuzz_song_load(data, size);
    if (!song) return false;
    song_free(song);
    return true;
}

bool fuzz_load_and_play(const uint8_t* data, size_t size, int blocks, bool fast_ticks,
                        std::vector<int16_t>* pcm) {
    Song* song = fuzz_song_load(data, size);
    if (!song) return false;
    if (fast_ticks && song->tick_handler) {
        fuzz_song_tick = song->tick_handler;
        song->tick_handler = fuzz_fast_tick;
    }
    if (output_offline_start(song)) {
        if (fast_ticks && playback.samples_per_tick > FUZZ_FAST_TICK_FRAMES)
            playback.samples_per_tick = FUZZ_FAST_TICK_FRAMES;
        for (int b = 0; b < blocks; b++) {
            const int16_t* block = output_offline_mix_block(nullptr);
            if (pcm && block) pcm->insert(pcm->end(), block, block + 2 * BLOCK_FRAMES);
        }
    }
    song_free(song);
    return true;
}

bool fuzz_mixer_paths_agree(const uint8_t* data, size_t size, int blocks) {
    MixerPath wide[MIXER_PATH_COUNT];
    int count = 0;
    for (int p = MIXER_SSE2; p < MIXER_PATH_COUNT; p++)
        if (mixer_path_supported(MixerPath(p))) wide[count++] = MixerPath(p);
    if (count == 0) return fuzz_load_and_play(data, size, blocks, true), true;
    std::vector<int16_t> plain, other;
    mixer_set_path(MIXER_PLAIN);
    fuzz_load_and_play(data, size, blocks, true, &plain);
    mixer_set_path(wide[size % unsigned(count)]);
    fuzz_load_and_play(data, size, blocks, true, &other);
    return plain == other;
}
