// WAV files of interleaved stereo 16-bit PCM, the one header every
// program writes.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int32_t WAV_HEADER_BYTES = 44;

// The header for `data_bytes` bytes of samples at `rate` frames per second.
void wav_header_stereo16(uint8_t header[WAV_HEADER_BYTES], uint64_t data_bytes, int32_t rate);
// Header and samples into an open file; false with errno set on a write error.
bool wav_put_stereo16(FILE* file, const int16_t* pcm, int64_t frames, int32_t rate);
// A whole WAV file written through the output-file rules; false with a
// reason that names the path.
bool wav_write_stereo16(const char* path, const int16_t* pcm, int64_t frames, int32_t rate,
                        std::string* error);
