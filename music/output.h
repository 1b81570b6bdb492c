// Output driver: plays the Song through a looping ring of 20 ms blocks that a
// mixing thread refills behind the play cursor, recording per block the song
// position reached, so the position queries report what is being heard.
// Offline rendering drives the same block filler without device or thread.
#pragma once
#include "music/engine.h"

struct OutputDevice;

// 20 ms rounded up to a multiple of 4 frames: 884 frames at 44 100 Hz.
constexpr int32_t BLOCK_FRAMES = (MIX_RATE * BLOCK_MS / 1000 + 3) & ~3;
// Twice the buffer setting: 100 blocks, about 2 s.
constexpr int32_t RING_FRAMES = (OUTPUT_BUFFER_MS / BLOCK_MS) * BLOCK_FRAMES * 2;
constexpr int32_t BLOCK_COUNT = RING_FRAMES / BLOCK_FRAMES;

int32_t output_block_frames();

// Mixes block `mix_block_index` (driving the Song's tick handler and the
// mixer), records its TimeInfo entry, converts it to PCM, advances the index.
void output_mix_block();

// Offline rendering: player_play's set-up without device, thread or pre-fill.
// False for a null Song or incomplete stream callbacks. End with player_stop.
// Blocks are mixed into one block-sized scratch buffer, or, for comparison,
// into their slices of a ring as the device's playback does: same bits.
enum OfflineBuffers : uint8_t { OFFLINE_SCRATCH, OFFLINE_RING };
bool output_offline_start(Song* song, OfflineBuffers buffers = OFFLINE_SCRATCH);
// Mixes the next block; returns its BLOCK_FRAMES frames of interleaved
// 16-bit PCM (valid until the next call) and fills *info with its TimeInfo
// entry. Null when offline playback is not running.
const int16_t* output_offline_mix_block(TimeInfo* info);
// The same block converted straight into `pcm` (BLOCK_FRAMES interleaved
// frames, the caller's): no copy on the way to a file. False when offline
// playback is not running or `pcm` is null.
bool output_offline_mix_block_into(int16_t* pcm, TimeInfo* info);

// Frames from the song's start to the tick where it first repeats, at most
// `max_frames` (*repeats says whether it got there). Runs the ticks without
// mixing; effects may change the Song's samples on the way, so measure a
// copy that is not played afterwards.
int64_t song_length_frames(Song* song, int64_t max_frames, bool* repeats);
// Where the song that plays or renders first repeated, as song_length_frames
// measures it: the frame at which the repeating tick began; -1 until then.
int64_t player_repeat_frame();

// Chooses the device player_play opens (null: the platform's device).
void output_set_device(const OutputDevice* device);
// Why the last player_play could not open its device ("" if it could).
const char* output_device_error();

// What is heard at one instant while a device plays: the frames since the
// song's first (smoothed between the device's reports: no steps, never
// backwards), the device delay the last report gave, and the order and row
// of the block those frames fall in.
struct OutputPosition {
    double time; // engine clock, seconds
    double frames;
    int64_t delay;
    int32_t order;
    int32_t row;
};
// The position heard at `when` (output_clock_seconds, now or a little
// ahead). False, with zeros, when no device plays. Ask from one thread.
bool output_position(double when, OutputPosition* position);

// Driver state, for tests and status displays: the blocks, the frames left
// of the tick the last block ended in, the milliseconds mixed since play
// (settable, to try the count's wrap without 24.8 days of blocks).
int32_t output_mix_block_index();
int32_t output_audible_block_index();
int32_t output_tick_frames_left();
int32_t output_elapsed_ms();
void output_set_elapsed_ms(int32_t ms);
