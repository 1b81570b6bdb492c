// The engine's public C interface (include/vlorp/xm.h), on top of the
// engine's own calls. What it adds is bookkeeping the engine leaves to its
// host: one lock so that calls may come from any thread, the list of live
// handles so that a freed or foreign handle is refused instead of followed,
// and which module holds the one output (plays or renders), so that a second
// play, a free while playing or a render during playback is an error code.
//
// Glossary:
//   module   a vlorp_xm_module: a loaded Song and what the library keeps
//            beside it (title, length, the samples' finetunes as loaded)
//   active   the module that plays or renders; at most one
//   source   the byte source of the load in progress (memory or callbacks)
#include "vlorp/xm.h"

#include "music/engine.h"
#include "music/memsrc.h"
#include "music/output.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

struct vlorp_xm_module {
    Song* song;
    char title[21];
    int64_t length_frames; // -1 until measured
    uint8_t repeats;
    int64_t blocks_rendered;
    std::vector<int8_t> finetunes; // every owned sample's, in instrument order
};

namespace {

constexpr int32_t HEAD_BYTES = 80; // signature, title, tracker, counts
constexpr int32_t TITLE_OFFSET = 17;
constexpr int32_t TITLE_BYTES = 20;
constexpr int32_t CHANNELS_OFFSET = 68;

struct ApiState {
    std::mutex lock;
    std::vector<vlorp_xm_module*> live;
    vlorp_xm_module* active; // plays or renders; null when the output is free
    bool rendering;
};
ApiState api;

// Set on a thread while it runs a load, whose callbacks are the caller's:
// a call from inside one would wait for its own lock.
thread_local bool loading_here = false;

// ---- The byte source of the load in progress -----------------------------

struct LoadSource {
    vlorp_xm_stream_callbacks user; // the caller's callbacks, or the memory source's
    const uint8_t* memory;          // the memory image, for memory_open
    int32_t memory_size;
    bool opened;
    uint8_t head[HEAD_BYTES];
    int32_t head_size;
};
LoadSource source; // one load at a time: under api.lock

vlorp_xm_stream_handle memory_open(const char*) {
    return memsrc_open_bytes(source.memory, source.memory_size);
}

// The wrappers the engine reads through. Opening also keeps the first bytes,
// for the title and for saying why a load failed; the loader seeks to 0
// before it reads anything.
StreamHandle source_open(const char* name) {
    StreamHandle handle = source.user.open(name);
    if (!handle) return nullptr;
    source.opened = true;
    source.user.seek(handle, 0, VLORP_XM_SEEK_SET);
    int32_t got = source.user.read(source.head, HEAD_BYTES, handle);
    source.head_size = got < 0 ? 0 : std::min(got, HEAD_BYTES);
    source.user.seek(handle, 0, VLORP_XM_SEEK_SET);
    return handle;
}
void source_close(StreamHandle handle) {
    source.user.close(handle);
}
int32_t source_read(void* buffer, int32_t count, StreamHandle handle) {
    return source.user.read(buffer, count, handle);
}
void source_seek(StreamHandle handle, int32_t offset, uint8_t origin) {
    source.user.seek(handle, offset, origin);
}
int32_t source_tell(StreamHandle handle) {
    return source.user.tell(handle);
}

// Why a load failed. The loader only says that it did; until it says why,
// the reason is read here, and only here, from the bytes the load began
// with: the loader's refusals in its own order.
int32_t load_failure() {
    if (!source.opened) return VLORP_XM_E_OPEN;
    if (source.head_size < TITLE_OFFSET || memcmp(source.head, "Extended Module: ", 17) != 0)
        return VLORP_XM_E_NOT_XM;
    if (source.head_size < CHANNELS_OFFSET + 2) return VLORP_XM_E_SHORT;
    int32_t channels = source.head[CHANNELS_OFFSET] | source.head[CHANNELS_OFFSET + 1] << 8;
    if (channels < 1 || channels > MAX_CHANNELS) return VLORP_XM_E_CHANNELS;
    return VLORP_XM_E_SAMPLES;
}

void take_title(vlorp_xm_module* m) {
    memset(m->title, 0, sizeof m->title);
    int32_t n = std::clamp(source.head_size - TITLE_OFFSET, 0, TITLE_BYTES);
    memcpy(m->title, source.head + TITLE_OFFSET, size_t(n));
    while (n > 0 && (m->title[n - 1] == ' ' || m->title[n - 1] == 0)) m->title[--n] = 0;
}

// ---- Module bookkeeping ---------------------------------------------------

bool is_live(const vlorp_xm_module* m) {
    return std::find(api.live.begin(), api.live.end(), m) != api.live.end();
}

template <typename Visit> void each_sample(Song* song, Visit visit) {
    for (int32_t i = 0; i < song->instrument_count; i++) {
        Instrument& ins = song->instruments[i];
        for (int32_t j = 0; j < ins.sample_count; j++)
            if (ins.samples[j]) visit(*ins.samples[j]);
    }
}

// The set-finetune effect writes into the module's samples while it plays.
// Every play, render and measurement starts from the module as loaded, so
// that each sounds like the first.
void restore_finetunes(vlorp_xm_module* m) {
    size_t k = 0;
    each_sample(m->song, [&](Sample& s) { s.finetune = m->finetunes[k++]; });
}

// Offline set-up with the song at `order`, row 0: the first tick then finds
// no pending order and starts there, and counts its repeats from there.
bool render_begin(vlorp_xm_module* m, int32_t order) {
    restore_finetunes(m);
    if (!output_offline_start(m->song)) return false;
    m->song->order = order;
    m->blocks_rendered = 0;
    return true;
}

// The frames until the song first repeats, by running its ticks without
// mixing (the output must be free).
void measure_length(vlorp_xm_module* m) {
    Song* song = m->song;
    if (!render_begin(m, 0)) return;
    while (!song->repeated && song->frames_ticked < VLORP_XM_LENGTH_LIMIT_FRAMES)
        song->tick_handler(song);
    m->repeats = song->repeated && song->repeat_frame < VLORP_XM_LENGTH_LIMIT_FRAMES;
    m->length_frames = m->repeats ? song->repeat_frame : VLORP_XM_LENGTH_LIMIT_FRAMES;
    player_stop(song);
    restore_finetunes(m);
}

// Loads through the source set up by the caller; under the lock.
int32_t load_from_source(const char* name, SampleLoader sample_loader, vlorp_xm_module** out) {
    source.opened = false;
    source.head_size = 0;
    stream_set_callbacks(source_open, source_close, source_read, source_seek, source_tell);
    loading_here = true;
    Song* song = song_load(name ? name : "", sample_loader);
    loading_here = false;
    if (!song) return load_failure();

    vlorp_xm_module* m = new vlorp_xm_module{};
    m->song = song;
    m->length_frames = -1;
    take_title(m);
    each_sample(song, [&](Sample& s) { m->finetunes.push_back(s.finetune); });
    if (!api.active) measure_length(m);
    api.live.push_back(m);
    *out = m;
    return VLORP_XM_OK;
}

int32_t load_memory_locked(const void* data, size_t size, vlorp_xm_module** out) {
    if (size > size_t(INT32_MAX)) return VLORP_XM_E_TOO_LARGE;
    source.user = {memory_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell};
    source.memory = static_cast<const uint8_t*>(data);
    source.memory_size = int32_t(size);
    int32_t result = load_from_source("", nullptr, out);
    source.memory = nullptr;
    return result;
}

// Reads a whole file; false if it cannot be opened or read.
bool read_file(const char* path, std::vector<uint8_t>& bytes, bool& too_large) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    uint8_t buffer[65536];
    size_t n;
    while (!too_large && (n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
        too_large = bytes.size() > size_t(INT32_MAX);
    }
    bool failed = ferror(f) != 0;
    fclose(f);
    return !failed;
}

} // namespace

// ---- The calls --------------------------------------------------------------

// Every call begins here: refuse a call from inside a load's callback, then
// take the lock for the rest of the call.
#define API_ENTER()                                                                                \
    if (loading_here) return VLORP_XM_E_REENTRANT;                                                 \
    std::lock_guard<std::mutex> guard(api.lock)
#define API_MODULE(m)                                                                              \
    API_ENTER();                                                                                   \
    if (!(m)) return VLORP_XM_E_NULL;                                                              \
    if (!is_live(m)) return VLORP_XM_E_BAD_HANDLE

extern "C" {

uint32_t vlorp_xm_version(void) {
    return VLORP_XM_VERSION;
}

#define VLORP_XM_STR2(x) #x
#define VLORP_XM_STR(x) VLORP_XM_STR2(x)

const char* vlorp_xm_version_string(void) {
    return VLORP_XM_STR(VLORP_XM_VERSION_MAJOR) "." VLORP_XM_STR(
        VLORP_XM_VERSION_MINOR) "." VLORP_XM_STR(VLORP_XM_VERSION_PATCH);
}

const char* vlorp_xm_strerror(int32_t result) {
    switch (result) {
    case VLORP_XM_OK:
        return "success";
    case VLORP_XM_E_NULL:
        return "a required pointer is null";
    case VLORP_XM_E_BAD_HANDLE:
        return "not a loaded module (already freed?)";
    case VLORP_XM_E_ARGUMENT:
        return "a value is out of range";
    case VLORP_XM_E_BUSY:
        return "a module is already playing or rendering";
    case VLORP_XM_E_NOT_STARTED:
        return "the module is not playing or rendering";
    case VLORP_XM_E_OPEN:
        return "cannot open or read the module";
    case VLORP_XM_E_TOO_LARGE:
        return "the module is larger than 2 GiB";
    case VLORP_XM_E_NOT_XM:
        return "not an XM module";
    case VLORP_XM_E_CHANNELS:
        return "unsupported channel count (1 to 32)";
    case VLORP_XM_E_SAMPLES:
        return "an instrument has more than 16 samples";
    case VLORP_XM_E_DEVICE:
        return "no audio device";
    case VLORP_XM_E_REENTRANT:
        return "called from inside a load's callback";
    case VLORP_XM_E_SHORT:
        return "the file ends inside its header";
    default:
        return "unknown result";
    }
}

int32_t vlorp_xm_load_memory(const void* data, size_t size, vlorp_xm_module** module) {
    API_ENTER();
    if (!module) return VLORP_XM_E_NULL;
    *module = nullptr;
    if (!data) return VLORP_XM_E_NULL;
    return load_memory_locked(data, size, module);
}

int32_t vlorp_xm_load_file(const char* path, vlorp_xm_module** module) {
    API_ENTER();
    if (!module) return VLORP_XM_E_NULL;
    *module = nullptr;
    if (!path) return VLORP_XM_E_NULL;
    std::vector<uint8_t> bytes;
    bool too_large = false;
    if (!read_file(path, bytes, too_large)) return VLORP_XM_E_OPEN;
    if (too_large) return VLORP_XM_E_TOO_LARGE;
    static const uint8_t none = 0;
    return load_memory_locked(bytes.empty() ? &none : bytes.data(), bytes.size(), module);
}

int32_t vlorp_xm_load_stream(const vlorp_xm_stream_callbacks* callbacks, const char* name,
                             vlorp_xm_sample_loader sample_loader, vlorp_xm_module** module) {
    API_ENTER();
    if (!module) return VLORP_XM_E_NULL;
    *module = nullptr;
    if (!callbacks || !callbacks->open || !callbacks->close || !callbacks->read ||
        !callbacks->seek || !callbacks->tell)
        return VLORP_XM_E_NULL;
    source.user = *callbacks;
    return load_from_source(name, sample_loader, module);
}

int32_t vlorp_xm_free(vlorp_xm_module* module) {
    API_MODULE(module);
    if (api.active == module) return VLORP_XM_E_BUSY;
    api.live.erase(std::find(api.live.begin(), api.live.end(), module));
    song_release(module->song); // not song_free: that would stop another module's playback
    delete module;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_get_info(vlorp_xm_module* module, vlorp_xm_info* info) {
    API_MODULE(module);
    if (!info) return VLORP_XM_E_NULL;
    if (module->length_frames < 0 && !api.active) measure_length(module);
    const Song* song = module->song;
    vlorp_xm_info i{};
    memcpy(i.title, module->title, sizeof i.title);
    i.linear_frequency = (song->flags & LINEAR_FREQUENCY) ? 1 : 0;
    i.complete = song->missing_part == LOAD_COMPLETE;
    i.repeats = module->repeats;
    i.channels = song->channel_count;
    i.orders = std::max<int32_t>(song->song_length, 0);
    i.restart_order = song->restart_position;
    i.patterns = song->pattern_count;
    i.instruments = std::max<int32_t>(song->instrument_count, 0);
    each_sample(module->song, [&](Sample& s) { i.samples += s.data != nullptr; });
    i.tempo = song->default_bpm;
    i.speed = song->default_speed;
    i.length_frames = module->length_frames;
    *info = i;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_play(vlorp_xm_module* module) {
    API_MODULE(module);
    if (api.active) return VLORP_XM_E_BUSY;
    restore_finetunes(module);
    if (!player_play(module->song)) {
        player_stop(module->song); // a failed start leaves the driver to tidy
        return VLORP_XM_E_DEVICE;
    }
    api.active = module;
    api.rendering = false;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_stop(vlorp_xm_module* module) {
    API_MODULE(module);
    if (api.active != module || api.rendering) return VLORP_XM_E_NOT_STARTED;
    player_stop(module->song);
    api.active = nullptr;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_get_position(vlorp_xm_module* module, vlorp_xm_position* position) {
    API_MODULE(module);
    if (!position) return VLORP_XM_E_NULL;
    if (api.active != module) return VLORP_XM_E_NOT_STARTED;
    vlorp_xm_position p{};
    // Order and row of one block: read again if the mixing thread moved on
    // to the next block in between.
    for (int tries = 0; tries < 4; tries++) {
        const int32_t block = output_audible_block_index();
        p.order = player_get_order(module->song);
        p.row = player_get_row(module->song);
        if (output_audible_block_index() == block) break;
    }
    // The audible clock (time heard, counted from the song's first frame)
    // belongs here once the output driver measures it.
    *position = p;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_render_start(vlorp_xm_module* module, int32_t start_order) {
    API_MODULE(module);
    if (api.active) return VLORP_XM_E_BUSY;
    const int32_t orders = std::max<int32_t>(module->song->song_length, 1);
    if (start_order < 0 || start_order >= orders) return VLORP_XM_E_ARGUMENT;
    if (!render_begin(module, start_order)) return VLORP_XM_E_ARGUMENT;
    api.active = module;
    api.rendering = true;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_render(vlorp_xm_module* module, int16_t* pcm, int32_t block_count,
                        vlorp_xm_block_info* blocks) {
    API_MODULE(module);
    if (block_count < 0) return VLORP_XM_E_ARGUMENT;
    if (!pcm && block_count > 0) return VLORP_XM_E_NULL;
    if (api.active != module || !api.rendering) return VLORP_XM_E_NOT_STARTED;
    const Song* song = module->song;
    for (int32_t k = 0; k < block_count; k++) {
        TimeInfo entry{};
        const int16_t* block = output_offline_mix_block(&entry);
        if (!block) return VLORP_XM_E_NOT_STARTED;
        memcpy(pcm + size_t(k) * BLOCK_FRAMES * 2, block, sizeof(int16_t) * BLOCK_FRAMES * 2);
        const int64_t first_frame = module->blocks_rendered++ * BLOCK_FRAMES;
        if (!blocks) continue;
        vlorp_xm_block_info& b = blocks[k];
        b = vlorp_xm_block_info{};
        b.order = entry.order;
        b.row = entry.row;
        b.elapsed_ms = entry.elapsed_ms;
        b.past_end = song->repeated && song->repeat_frame <= first_frame;
    }
    return block_count;
}

int32_t vlorp_xm_render_stop(vlorp_xm_module* module) {
    API_MODULE(module);
    if (api.active != module || !api.rendering) return VLORP_XM_E_NOT_STARTED;
    player_stop(module->song);
    api.active = nullptr;
    api.rendering = false;
    return VLORP_XM_OK;
}

} // extern "C"

static_assert(VLORP_XM_BLOCK_FRAMES == BLOCK_FRAMES, "the block the header promises");
static_assert(VLORP_XM_SAMPLE_RATE == MIX_RATE, "the rate the header promises");
