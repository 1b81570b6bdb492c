// Loader internals: the reader every part of an XM module is read through,
// and the instruments with their samples (loader_instruments.cpp) that
// loader.cpp calls after the header and patterns.
//
// Glossary:
//   part         what is being read: header, pattern, instrument, sample
//   missing      the first part a cut-off file fell short in (the song
//                plays what it has; the caller is told what it lacks)
//   supply       the bytes the source can still serve; no size in a header
//                makes the loader allocate beyond it
//   guard frame  the frame after a loop's end, a copy of the frame the loop
//                goes on with (ping-pong: its last again), so the
//                interpolator never reads past the loop
#pragma once
#include "music/engine.h"

struct LoadReader {
    Stream* stream;
    int64_t size;          // bytes the source serves
    int64_t sample_budget; // sample bytes the source can still account for
    LoadPart part;         // what is being read now
    int32_t part_index;
    LoadPart missing_part; // the first part the file fell short in
    int32_t missing_index;
};

// Records why the load stops; returns false for the caller to pass on.
__attribute__((format(printf, 2, 3))) bool load_failed(LoadFailure kind, const char* format, ...);

// What is read now, for note_missing.
void reading(LoadReader& r, LoadPart part, int32_t index);
// Notes the part being read as the first that falls short.
void note_missing(LoadReader& r);
// Little-endian reads; a short read leaves zeros and notes what is missing.
int32_t read_bytes(LoadReader& r, void* dst, int32_t count);
uint8_t read_u8(LoadReader& r);
uint16_t read_u16(LoadReader& r);
uint32_t read_u32(LoadReader& r);
uint16_t get_u16(const uint8_t* p);
void seek_to(LoadReader& r, int64_t position);
void skip(LoadReader& r, int64_t count);
int64_t bytes_left(LoadReader& r);

// The instruments and their samples, after the patterns; false (said why)
// for an instrument with more samples than it can hold.
bool read_instruments(LoadReader& r, Song* song);
