// The engine's public C interface (include/vlorp/xm.h), on top of the
// engine's own calls. What it adds is bookkeeping the engine leaves to its
// host: one lock so that calls may come from any thread, the list of live
// handles so that a freed or foreign handle is refused instead of followed,
// and which module holds the one output (plays or renders), so that a second
// play, a free while playing or a render during playback is an error code.
//
// Glossary:
//   module   a vlorp_xm_module: a loaded Song and what the library keeps
//            beside it (length, the samples' finetunes as loaded)
//   active   the module that plays or renders; at most one
//   source   the byte source of the load in progress (memory or callbacks)
#include "vlorp/xm.h"

#include "music/engine.h"
#include "music/memsrc.h"
#include "music/mixer.h"
#include "music/output.h"
#include "music/output_device.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

struct vlorp_xm_module {
    Song* song;
    int64_t length_frames; // -1 until measured
    uint8_t repeats;
    int64_t blocks_rendered;
    std::vector<int8_t> finetunes; // every owned sample's, in instrument order
};

namespace {

struct ApiState {
    std::mutex lock;
    std::vector<vlorp_xm_module*> live;
    vlorp_xm_module* active; // plays or renders; null when the output is free
    bool rendering;
    vlorp_xm_heard heard; // the furthest heard position told since play began
};
ApiState api;

// Set on a thread while it runs a load, whose callbacks are the caller's:
// a call from inside one would wait for its own lock.
thread_local bool loading_here = false;
// Why the last load on this thread failed, for vlorp_xm_load_error.
thread_local char load_error_text[160];

// ---- The byte source of the load in progress -----------------------------

struct LoadSource {
    vlorp_xm_stream_callbacks user; // the caller's callbacks, or the memory source's
    const uint8_t* memory;          // the memory image, for memory_open
    int32_t memory_size;
};
LoadSource source; // one load at a time: under api.lock

vlorp_xm_stream_handle memory_open(const char*) {
    return memsrc_open_bytes(source.memory, source.memory_size);
}

// A load that fails before the loader runs: the code and its sentence.
int32_t refuse(int32_t result, const char* text) {
    snprintf(load_error_text, sizeof load_error_text, "%s", text);
    return result;
}

// Why the loader refused a module: its own reason, as the code the header
// promises, with its text. The one place the two meet.
int32_t loader_refusal() {
    int32_t result = VLORP_XM_E_OPEN;
    switch (song_load_failure()) {
    case LOAD_OK:
    case LOAD_FAILED_OPEN:
        result = VLORP_XM_E_OPEN;
        break;
    case LOAD_FAILED_NOT_XM:
        result = VLORP_XM_E_NOT_XM;
        break;
    case LOAD_FAILED_SHORT:
        result = VLORP_XM_E_SHORT;
        break;
    case LOAD_FAILED_CHANNELS:
        result = VLORP_XM_E_CHANNELS;
        break;
    case LOAD_FAILED_SAMPLES:
        result = VLORP_XM_E_SAMPLES;
        break;
    }
    return refuse(result, song_load_error());
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

// A start order the song has: 0 to orders - 1, or 0 for a song without.
bool order_in_song(const vlorp_xm_module* m, int32_t order) {
    return order >= 0 && order < std::max<int32_t>(m->song->song_length, 1);
}

// The order the next play, render or measurement starts from. The caller
// has checked it against the song; a song without orders starts at 0.
void start_at(vlorp_xm_module* m, int32_t order) {
    if (!song_set_start_order(m->song, order)) m->song->start_order = 0;
}

// Offline set-up from `order`, row 0, the module as loaded.
bool render_begin(vlorp_xm_module* m, int32_t order) {
    restore_finetunes(m);
    start_at(m, order);
    if (!output_offline_start(m->song)) return false;
    m->blocks_rendered = 0;
    return true;
}

// The frames from `order` until the song first repeats, as the engine
// measures them (the output must be free), the module left as loaded.
int64_t length_from(vlorp_xm_module* m, int32_t order, uint8_t* repeats) {
    restore_finetunes(m);
    start_at(m, order);
    bool repeated = false;
    const int64_t frames = song_length_frames(m->song, VLORP_XM_LENGTH_LIMIT_FRAMES, &repeated);
    *repeats = repeated && frames < VLORP_XM_LENGTH_LIMIT_FRAMES;
    restore_finetunes(m);
    return frames;
}

void measure_length(vlorp_xm_module* m) {
    m->length_frames = length_from(m, 0, &m->repeats);
}

// A stored 20-byte name without the blanks or zeros trackers pad it with.
void copy_name(char (&to)[21], const char* stored) {
    memcpy(to, stored, sizeof to - 1);
    to[sizeof to - 1] = 0;
    for (int32_t n = int32_t(strlen(to)); n > 0 && to[n - 1] == ' '; n--) to[n - 1] = 0;
}

// Loads through the source set up by the caller; under the lock.
int32_t load_from_source(const char* name, SampleLoader sample_loader, vlorp_xm_module** out) {
    stream_set_callbacks(source.user.open, source.user.close, source.user.read, source.user.seek,
                         source.user.tell);
    loading_here = true;
    Song* song = song_load(name ? name : "", sample_loader);
    loading_here = false;
    if (!song) return loader_refusal();
    load_error_text[0] = 0;

    vlorp_xm_module* m = new vlorp_xm_module{};
    m->song = song;
    m->length_frames = -1;
    each_sample(song, [&](Sample& s) { m->finetunes.push_back(s.finetune); });
    api.live.push_back(m);
    *out = m;
    return VLORP_XM_OK;
}

int32_t load_memory_locked(const void* data, size_t size, vlorp_xm_module** out) {
    if (size > size_t(INT32_MAX))
        return refuse(VLORP_XM_E_TOO_LARGE, vlorp_xm_strerror(VLORP_XM_E_TOO_LARGE));
    source.user = {memory_open, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell};
    source.memory = static_cast<const uint8_t*>(data);
    source.memory_size = int32_t(size);
    int32_t result = load_from_source("", nullptr, out);
    source.memory = nullptr;
    return result;
}

// Reads a whole file; false if it cannot be opened or read (errno says why).
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
    const int read_errno = errno;
    fclose(f);
    errno = read_errno;
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
// A load begins with no module and no reason yet.
#define LOAD_ENTER(out)                                                                            \
    API_ENTER();                                                                                   \
    load_error_text[0] = 0;                                                                        \
    if (!(out)) return refuse(VLORP_XM_E_NULL, vlorp_xm_strerror(VLORP_XM_E_NULL));                \
    *(out) = nullptr

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

const char* vlorp_xm_load_error(void) {
    return load_error_text;
}

int32_t vlorp_xm_load_memory(const void* data, size_t size, vlorp_xm_module** module) {
    LOAD_ENTER(module);
    if (!data) return refuse(VLORP_XM_E_NULL, vlorp_xm_strerror(VLORP_XM_E_NULL));
    return load_memory_locked(data, size, module);
}

int32_t vlorp_xm_load_file(const char* path, vlorp_xm_module** module) {
    LOAD_ENTER(module);
    if (!path) return refuse(VLORP_XM_E_NULL, vlorp_xm_strerror(VLORP_XM_E_NULL));
    std::vector<uint8_t> bytes;
    bool too_large = false;
    errno = 0;
    if (!read_file(path, bytes, too_large))
        return refuse(VLORP_XM_E_OPEN, errno ? strerror(errno) : "cannot read it");
    if (too_large) return refuse(VLORP_XM_E_TOO_LARGE, vlorp_xm_strerror(VLORP_XM_E_TOO_LARGE));
    static const uint8_t none = 0;
    return load_memory_locked(bytes.empty() ? &none : bytes.data(), bytes.size(), module);
}

int32_t vlorp_xm_load_stream(const vlorp_xm_stream_callbacks* callbacks, const char* name,
                             vlorp_xm_sample_loader sample_loader, vlorp_xm_module** module) {
    LOAD_ENTER(module);
    if (!callbacks || !callbacks->open || !callbacks->close || !callbacks->read ||
        !callbacks->seek || !callbacks->tell)
        return refuse(VLORP_XM_E_NULL, vlorp_xm_strerror(VLORP_XM_E_NULL));
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
    copy_name(i.title, song->title);
    copy_name(i.tracker, song->tracker);
    i.flags = song->flags;
    i.missing_part = song->missing_part;
    if (song->missing_part != LOAD_COMPLETE && song->missing_part != LOAD_HEADER)
        i.missing_index = song->missing_index;
    i.referenced_patterns = song->referenced_pattern_count;
    i.linear_frequency = (song->flags & LINEAR_FREQUENCY) ? 1 : 0;
    i.complete = song->missing_part == LOAD_COMPLETE;
    i.repeats = module->repeats;
    i.channels = song->channel_count;
    i.orders = std::max<int32_t>(song->song_length, 0);
    i.restart_order = song->restart_position;
    i.patterns = song->pattern_count;
    i.instruments = std::max<int32_t>(song->instrument_count, 0);
    each_sample(module->song, [&](Sample& s) {
        if (!s.data) return;
        i.samples++;
        i.sample_frames += s.length;
    });
    i.tempo = song->default_bpm;
    i.speed = song->default_speed;
    i.length_frames = module->length_frames;
    *info = i;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_get_length(vlorp_xm_module* module, int32_t start_order, int64_t* frames,
                            uint8_t* repeats) {
    API_MODULE(module);
    if (!frames) return VLORP_XM_E_NULL;
    if (api.active) return VLORP_XM_E_BUSY;
    if (!order_in_song(module, start_order)) return VLORP_XM_E_ARGUMENT;
    uint8_t repeated = 0;
    *frames = length_from(module, start_order, &repeated);
    if (repeats) *repeats = repeated;
    return VLORP_XM_OK;
}

int32_t vlorp_xm_play(vlorp_xm_module* module) {
    return vlorp_xm_play_from(module, 0);
}

int32_t vlorp_xm_play_from(vlorp_xm_module* module, int32_t start_order) {
    API_MODULE(module);
    if (api.active) return VLORP_XM_E_BUSY;
    if (!order_in_song(module, start_order)) return VLORP_XM_E_ARGUMENT;
    // Measured now while the output is free, so that the length is known
    // during playback too.
    if (module->length_frames < 0) measure_length(module);
    restore_finetunes(module);
    start_at(module, start_order);
    if (!player_play(module->song)) {
        player_stop(module->song); // a failed start leaves the driver to tidy
        return VLORP_XM_E_DEVICE;
    }
    api.active = module;
    api.rendering = false;
    api.heard = vlorp_xm_heard{};
    return VLORP_XM_OK;
}

const char* vlorp_xm_device_error(void) {
    // A copy for the caller's thread: a play on another thread rewrites the
    // driver's own text.
    thread_local char text[sizeof load_error_text];
    if (loading_here) return "";
    std::lock_guard<std::mutex> guard(api.lock);
    snprintf(text, sizeof text, "%s", output_device_error());
    return text;
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
    *position = p;
    return VLORP_XM_OK;
}

double vlorp_xm_clock(void) {
    return output_clock_seconds();
}

int32_t vlorp_xm_get_heard(vlorp_xm_module* module, double when, vlorp_xm_heard* heard) {
    API_MODULE(module);
    if (!heard) return VLORP_XM_E_NULL;
    if (!std::isfinite(when)) return VLORP_XM_E_ARGUMENT;
    if (api.active != module) return VLORP_XM_E_NOT_STARTED;
    vlorp_xm_heard h{};
    if (api.rendering) {
        h.when = when;
        h.frames = double(module->blocks_rendered * BLOCK_FRAMES);
        h.order = player_get_order(module->song);
        h.row = player_get_row(module->song);
    } else {
        const double now = output_clock_seconds();
        OutputPosition p;
        output_position(std::min(when, now + VLORP_XM_HEARD_AHEAD_LIMIT), &p);
        h.when = p.time;
        h.frames = p.frames;
        h.delay_frames = p.delay;
        h.order = p.order;
        h.row = p.row;
        // A look ahead runs on at the nominal rate; a later call that looks
        // less far ahead must not take the picture back.
        if (h.frames < api.heard.frames) h = api.heard;
    }
    h.ms = int64_t(h.frames) * 1000 / MIX_RATE;
    if (!api.rendering) api.heard = h;
    *heard = h;
    return VLORP_XM_OK;
}

const char* vlorp_xm_mixer_name(void) {
    return mixer_path_name(mixer_path());
}

int32_t vlorp_xm_render_start(vlorp_xm_module* module, int32_t start_order) {
    API_MODULE(module);
    if (api.active) return VLORP_XM_E_BUSY;
    if (!order_in_song(module, start_order)) return VLORP_XM_E_ARGUMENT;
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
    for (int32_t k = 0; k < block_count; k++) {
        TimeInfo entry{};
        // Mixed straight into the caller's buffer: no copy on the way out.
        if (!output_offline_mix_block_into(pcm + size_t(k) * BLOCK_FRAMES * 2, &entry))
            return VLORP_XM_E_NOT_STARTED;
        const int64_t first_frame = module->blocks_rendered++ * BLOCK_FRAMES;
        if (!blocks) continue;
        vlorp_xm_block_info& b = blocks[k];
        b = vlorp_xm_block_info{};
        b.order = entry.order;
        b.row = entry.row;
        b.elapsed_ms = entry.elapsed_ms;
        const int64_t repeat = player_repeat_frame();
        b.past_end = repeat >= 0 && repeat <= first_frame;
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
