// Output driver: one looping ring of BLOCK_COUNT blocks that the device plays
// while a mixing thread refills, block by block, whatever the play cursor
// has left. Each block's TimeInfo entry records the song position reached
// at its end; the position queries read the entry of the block under the
// cursor, so they follow the music that is heard, not the music last mixed
// (which runs a ring, about 2 s, ahead).
//
// Glossary:
//   block      BLOCK_FRAMES frames, mixed as a whole into its ring slice
//   ring       RING_FRAMES frames of 16-bit PCM the device loops over, with
//              a float twin (mix_buffer) the mixer accumulates into
//   run        part of a block that lies within one tick
//   cursor     the block the device is playing
//   left       blocks since the start that the device has played through:
//              the furthest it has been, so a position that steps back
//              (a delay that grows, a count that drops at an underrun)
//              refills nothing until it passes that point again
//
// Threads: the caller of player_play mixes the pre-fill; after that only the
// mixing thread mixes. Across threads only the three flags, the two block
// indices and the TimeInfo bytes are shared, as atomics, without locks.
#include "music/output.h"
#include "music/mixer.h"
#include "music/output_device.h"
#include "music/play_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

std::atomic<uint32_t> output_ring_published{0};

namespace {

struct OutputState {
    Song* playing_song;
    const OutputDevice* chosen_device; // null: the platform's
    const OutputDevice* open_device;   // null when closed
    int16_t* wave_buffer;              // RING_FRAMES interleaved frames
    void* mix_allocation;
    float* mix_buffer; // 16-byte aligned inside mix_allocation
    TimeInfo* time_info;
    float inv_mix_rate;
    bool offline;
    bool ring;                 // the buffers hold the whole ring; else one block (offline scratch)
    std::thread* mixer_thread; // null when none runs; never destroyed at exit
    char device_error[256];
    int64_t mixed_blocks;     // since the start: the mixing side's count
    int64_t left_blocks;      // since the start: the furthest block the device has left
    PlayClock clock;          // the position queries' own
    PollStamp poll_stamp;     // the mixing thread's, for a device without reports
    double extra_delay;       // seconds the sound takes beyond what the device says
    int32_t tick_frames_left; // of the tick the last block ended in
    int32_t elapsed_ms;       // since play, as the blocks record it
};

OutputState out;
std::atomic<int32_t> mix_block_index{0};
std::atomic<int32_t> audible_block_index{0};
std::atomic<uint8_t> exit_requested{0};
std::atomic<uint8_t> mixing_busy{0};
std::atomic<uint8_t> thread_exited{1};

// The device's latest report, as the mixing thread last read it.
ReportSlot published;
// Order and row at the end of each of the last HISTORY_BLOCKS blocks mixed,
// tagged with the block's number since the start, so a position up to a
// ring and a half behind the mixing can still be looked up after its ring
// slot was refilled: (block + 1) << 16 | order << 8 | row.
constexpr int32_t HISTORY_BLOCKS = 256;
std::atomic<uint64_t> history[HISTORY_BLOCKS];
std::atomic<int64_t> history_blocks{0}; // blocks mixed since the start, for the queries

double (*clock_source)();

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);
constexpr auto STOP_POLL_INTERVAL = std::chrono::milliseconds(10);

// player_play's steps up to the device: voices, channels, playback state,
// the TimeInfo ring. False if the stream callbacks are incomplete.
bool output_setup(Song* song) {
    if (!stream_callbacks_complete()) return false;
    out.inv_mix_rate = float(1.0 / MIX_RATE);
    mixer_reset();
    replayer_reset(song);
    out.tick_frames_left = 0;
    out.elapsed_ms = 0;

    out.playing_song = song;
    out.time_info = static_cast<TimeInfo*>(calloc(BLOCK_COUNT, sizeof(TimeInfo)));
    out.mixed_blocks = 0;
    out.left_blocks = 0;
    for (std::atomic<uint64_t>& entry : history) entry.store(0, std::memory_order_relaxed);
    history_blocks.store(0, std::memory_order_relaxed);
    return true;
}

// The whole ring for a device; one block for offline rendering, where each
// block is handed out before the next is mixed: 10 KB that stay in the cache
// instead of 1 MB cycled through it (and faulted in page by page).
void output_alloc_buffers(bool ring) {
    const size_t frames = ring ? size_t(RING_FRAMES) : size_t(BLOCK_FRAMES);
    out.ring = ring;
    out.wave_buffer = static_cast<int16_t*>(calloc(frames * 2, sizeof(int16_t)));
    size_t bytes = frames * 2 * sizeof(float);
    out.mix_allocation = calloc(1, bytes + 256);
    uintptr_t base = reinterpret_cast<uintptr_t>(out.mix_allocation);
    out.mix_buffer = reinterpret_cast<float*>((base + 15) & ~uintptr_t(15));
}

// The device's position as it says, unchecked.
OutputReport output_read_device(const OutputDevice* device) {
    OutputReport report = {};
    if (device->report && device->report(&report)) return report;
    const int64_t played = device->played_frames();
    const double time = output_stamp_poll(&out.poll_stamp, output_clock_seconds(), played);
    return OutputReport{time, played, INT64_MAX};
}

// Publishes a report for the queries: whatever the device says, no more
// was given to it than was mixed.
void output_publish(OutputReport report) {
    report.written = std::min(report.written, out.mixed_blocks * BLOCK_FRAMES);
    report.played = std::clamp<int64_t>(report.played, 0, report.written);
    output_report_store(&published, report);
}

// Refills, in order and once each, the blocks the device has left since
// the last call: a ring ahead of it, each slot holds the block it plays
// next. A device that got more than a ring ahead (starved of the mixing)
// has played stale blocks; the song catches up with it in this one pass.
void output_refill(int64_t played) {
    out.left_blocks = std::max(out.left_blocks, std::max<int64_t>(played, 0) / BLOCK_FRAMES);
    while (out.mixed_blocks < out.left_blocks + BLOCK_COUNT &&
           !exit_requested.load(std::memory_order_acquire)) {
        mixing_busy.store(1, std::memory_order_release);
        // Move the queries on first, so none reads the entry being rewritten.
        int32_t audible = audible_block_index.load(std::memory_order_relaxed) + 1;
        audible_block_index.store(audible == BLOCK_COUNT ? 0 : audible, std::memory_order_release);
        output_mix_block();
        mixing_busy.store(0, std::memory_order_release);
    }
}

void output_thread_main() {
    thread_exited.store(0, std::memory_order_release);
    const OutputDevice* device = out.open_device;
    if (device->promote_thread) device->promote_thread();
    while (!exit_requested.load(std::memory_order_acquire)) {
        const OutputReport report = output_read_device(device);
        output_refill(report.played);
        output_publish(report);
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    thread_exited.store(1, std::memory_order_release);
}

int query_entry(Song* song, bool order) {
    if (!song || !out.time_info) return 0;
    TimeInfo& entry = out.time_info[audible_block_index.load(std::memory_order_acquire)];
    return std::atomic_ref<uint8_t>(order ? entry.order : entry.row)
        .load(std::memory_order_relaxed);
}

} // namespace

int32_t output_block_frames() {
    return BLOCK_FRAMES;
}

// Where block k lives in the buffers: its own slice of the ring, or the
// offline scratch block.
static size_t block_offset(int32_t k) {
    return out.ring ? size_t(k) * BLOCK_FRAMES * 2 : 0;
}

// Mixes block `mix_block_index` and converts it into `pcm`: its ring slice,
// or an offline caller's own buffer.
static void output_mix_block_to(int16_t* pcm) {
    Song* song = out.playing_song;
    const int32_t k = mix_block_index.load(std::memory_order_relaxed);
    // Zero already: allocated so, and cleared by the conversion that ends
    // each block.
    float* slice = out.mix_buffer + block_offset(k);

    int32_t left_in_tick = out.tick_frames_left;
    int32_t done = 0;
    float* cursor = slice;
    while (done < BLOCK_FRAMES) {
        if (left_in_tick <= 0) {
            if (song->tick_handler) song->tick_handler(song);
            // Read after the call: a tempo change on this tick sets its length.
            left_in_tick = playback.samples_per_tick;
            if (left_in_tick <= 0) left_in_tick = BLOCK_FRAMES - done; // never stall
        }
        int32_t n = left_in_tick < BLOCK_FRAMES - done ? left_in_tick : BLOCK_FRAMES - done;
        mixer_mix_run(cursor, n);
        // Each run is truncated on its own: a plain block adds 20, not 20.045.
        // The sum wraps after 24.8 days of play rather than overflowing.
        const int32_t run_ms = int32_t(double(n) * double(out.inv_mix_rate) * 1000.0);
        out.elapsed_ms = int32_t(uint32_t(out.elapsed_ms) + uint32_t(run_ms));
        done += n;
        cursor += 2 * n;
        left_in_tick -= n;
    }

    TimeInfo& entry = out.time_info[k];
    std::atomic_ref<uint8_t>(entry.order).store(uint8_t(playback.order), std::memory_order_relaxed);
    std::atomic_ref<uint8_t>(entry.row).store(uint8_t(playback.row), std::memory_order_relaxed);
    entry.elapsed_ms = out.elapsed_ms;
    out.tick_frames_left = left_in_tick;
    history[out.mixed_blocks % HISTORY_BLOCKS].store(uint64_t(out.mixed_blocks + 1) << 16 |
                                                         uint64_t(entry.order) << 8 | entry.row,
                                                     std::memory_order_release);
    out.mixed_blocks++;
    history_blocks.store(out.mixed_blocks, std::memory_order_release);

    mixer_convert_and_clear(pcm, slice, BLOCK_FRAMES);
    output_ring_published.fetch_add(1, std::memory_order_release);
    mix_block_index.store(k + 1 == BLOCK_COUNT ? 0 : k + 1, std::memory_order_release);
}

void output_mix_block() {
    const int32_t k = mix_block_index.load(std::memory_order_relaxed);
    output_mix_block_to(out.wave_buffer + block_offset(k));
}

bool player_play(Song* song) {
    if (!song) return false;
    player_stop(song);
    if (!output_setup(song)) return false;

    const OutputDevice* device = out.chosen_device ? out.chosen_device : output_platform_device();
    out.device_error[0] = 0;
    if (!device || !device->open()) {
        const char* why = device && device->error ? device->error() : "no audio device";
        snprintf(out.device_error, sizeof out.device_error, "%s",
                 why && *why ? why : "no audio device");
        return false;
    }
    out.open_device = device;
    output_alloc_buffers(true);

    do output_mix_block(); // pre-fill the whole ring before the device starts
    while (mix_block_index.load(std::memory_order_relaxed) != 0);

    output_report_store(&published, OutputReport{output_clock_seconds(), 0, 0});
    out.poll_stamp = PollStamp{};
    play_clock_reset(&out.clock);
    play_clock_start(&out.clock, output_clock_seconds());
    // A delay after the device that it cannot know of (a receiver, a TV),
    // given by the listener; the sync measurement injects one with it.
    const char* extra = getenv("VLORP_AUDIO_DELAY_MS");
    out.extra_delay = extra ? strtod(extra, nullptr) / 1000.0 : 0;
    device->start(out.wave_buffer, RING_FRAMES);
    exit_requested.store(0, std::memory_order_release);
    thread_exited.store(0, std::memory_order_release);
    try {
        out.mixer_thread = new std::thread(output_thread_main);
    } catch (const std::system_error&) {
        snprintf(out.device_error, sizeof out.device_error, "cannot start the mixing thread");
        thread_exited.store(1, std::memory_order_release);
        player_stop(song);
        return false;
    }
    return true;
}

bool player_stop(Song* song) {
    if (!song) return false;
    exit_requested.store(1, std::memory_order_release);
    while (mixing_busy.load(std::memory_order_acquire)) std::this_thread::yield();
    if (out.mixer_thread) {
        while (!thread_exited.load(std::memory_order_acquire))
            std::this_thread::sleep_for(STOP_POLL_INTERVAL);
        out.mixer_thread->join();
        delete out.mixer_thread;
        out.mixer_thread = nullptr;
    }
    free(out.mix_allocation);
    out.mix_allocation = nullptr;
    out.mix_buffer = nullptr;
    if (out.open_device) out.open_device->reset();
    free(out.wave_buffer);
    out.wave_buffer = nullptr;
    out.playing_song = nullptr;
    free(out.time_info);
    out.time_info = nullptr;
    if (out.open_device) out.open_device->close();
    out.open_device = nullptr;
    out.offline = false;
    mix_block_index.store(0, std::memory_order_release);
    audible_block_index.store(0, std::memory_order_release);
    return true;
}

void output_wait_idle() {
    while (mixing_busy.load(std::memory_order_acquire)) std::this_thread::yield();
}

int player_get_order(Song* song) {
    return query_entry(song, true);
}

int player_get_row(Song* song) {
    return query_entry(song, false);
}

bool output_offline_start(Song* song, OfflineBuffers buffers) {
    if (!song) return false;
    player_stop(song);
    if (!output_setup(song)) return false;
    output_alloc_buffers(buffers == OFFLINE_RING);
    out.offline = true;
    return true;
}

// Both offline calls: the block goes into `pcm`, or (null) into the buffers.
static const int16_t* offline_mix_block(int16_t* pcm, TimeInfo* info) {
    if (!out.offline || !out.playing_song) return nullptr;
    const int32_t k = mix_block_index.load(std::memory_order_relaxed);
    if (!pcm) pcm = out.wave_buffer + block_offset(k);
    output_mix_block_to(pcm);
    audible_block_index.store(k, std::memory_order_release); // handed out = heard
    if (info) *info = out.time_info[k];
    return pcm;
}

const int16_t* output_offline_mix_block(TimeInfo* info) {
    return offline_mix_block(nullptr, info);
}

bool output_offline_mix_block_into(int16_t* pcm, TimeInfo* info) {
    return pcm && offline_mix_block(pcm, info);
}

void output_set_device(const OutputDevice* device) {
    out.chosen_device = device;
}

const char* output_device_error() {
    return out.device_error;
}

int32_t output_mix_block_index() {
    return mix_block_index.load(std::memory_order_acquire);
}

int32_t output_audible_block_index() {
    return audible_block_index.load(std::memory_order_acquire);
}

int32_t output_tick_frames_left() {
    return out.tick_frames_left;
}

int32_t output_elapsed_ms() {
    return out.elapsed_ms;
}

void output_set_elapsed_ms(int32_t ms) {
    out.elapsed_ms = ms;
}

double output_stamp_poll(PollStamp* stamp, double time, int64_t count) {
    if (count <= 0 || count < stamp->count) *stamp = PollStamp{}; // silent, or sound lost
    if (count <= 0) return time;
    // Only the first poll to see a count bounds anything: a later one, seeing
    // the same count later, says less, and nothing once the device stalls.
    const double ahead = double(count) / MIX_RATE - time;
    const bool moved = count > stamp->count;
    if (moved) {
        const int64_t step = count - stamp->count;
        if (stamp->kept > 0) stamp->step = stamp->step ? std::min(stamp->step, step) : step;
        stamp->count = count;
        stamp->ahead[stamp->next] = ahead;
        stamp->next = (stamp->next + 1) % POLL_WINDOW;
        stamp->kept = std::min(stamp->kept + 1, POLL_WINDOW);
    }
    double bound = ahead;
    for (int32_t i = 0; i < stamp->kept; i++) bound = std::max(bound, stamp->ahead[i]);
    const double lag_limit =
        stamp->step ? double(stamp->step) / MIX_RATE + POLL_SKEW : POLL_STEP_LIMIT;
    if (stamp->kept == 0 || bound - ahead > lag_limit) {
        // Stalled, or lost sound: what was bound no longer holds.
        *stamp = PollStamp{};
        stamp->count = count;
        if (moved) stamp->ahead[0] = ahead, stamp->next = 1, stamp->kept = 1;
        return time;
    }
    return time - (bound - ahead);
}

double output_clock_seconds() {
    if (clock_source) return clock_source();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void output_set_clock(double (*clock)()) {
    clock_source = clock;
}

// The order and row at the end of block `block` since the start. A block
// the history no longer holds (a device faster than real time leaves what
// is heard far behind the mixing) answers with the oldest block it still
// holds, the nearest to it; one not mixed yet, with the block under the cursor.
static void output_history_position(int64_t block, OutputPosition* position) {
    // A ring's worth of margin: the mixing may go on meanwhile.
    const int64_t oldest =
        history_blocks.load(std::memory_order_acquire) - HISTORY_BLOCKS + BLOCK_COUNT;
    if (block < oldest) block = oldest;
    const uint64_t entry = history[block % HISTORY_BLOCKS].load(std::memory_order_acquire);
    if (block >= 0 && int64_t(entry >> 16) == block + 1) {
        position->order = int32_t(entry >> 8 & 0xFF);
        position->row = int32_t(entry & 0xFF);
    } else {
        position->order = player_get_order(out.playing_song);
        position->row = player_get_row(out.playing_song);
    }
}

bool output_position(double when, OutputPosition* position) {
    *position = OutputPosition{when, 0, 0, 0, 0};
    if (!out.open_device || !out.playing_song) return false;
    OutputReport report;
    if (!(out.open_device->report && out.open_device->report(&report)))
        report = output_report_load(&published); // as the mixing thread last read it
    play_clock_report(&out.clock, report);
    // The extra delay holds the whole position back; asking the clock for an
    // earlier time would not (it never answers before its latest report).
    // A look ahead (a frame still to be drawn and shown) runs on from now at
    // the nominal rate while the device runs: the clock itself never passes
    // what the device holds now, which a look ahead may well.
    const double now = output_clock_seconds();
    const double ahead = when > now ? when - now : 0;
    double frames = play_clock_position(&out.clock, when - ahead);
    if (out.clock.moving && now - out.clock.progress.time <= PLAY_CLOCK_STALL)
        frames += ahead * MIX_RATE;
    position->frames = std::max(0.0, frames - out.extra_delay * MIX_RATE);
    position->delay = play_clock_delay(&out.clock) + int64_t(out.extra_delay * MIX_RATE);
    output_history_position(int64_t(position->frames) / BLOCK_FRAMES, position);
    return true;
}
