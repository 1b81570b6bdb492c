// Audio formats beyond WAV and raw PCM, written through a shared encoder
// library that is loaded on first use (so programs that never encode start
// without it). Platforms without one offer no formats here.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

struct EncoderFormat {
    const char* name;          // for --format: "flac"
    const char* extensions[3]; // ".flac"; unused ones null
    const char* description;   // "FLAC (lossless)"
};
// The formats this build offers, and how many.
extern const EncoderFormat ENCODER_FORMATS[];
extern const int ENCODER_FORMAT_COUNT;

struct Encoder;
// Starts encoding 16-bit stereo at `rate` into `file`, a regular file open
// for writing and reading back (the encoder seeks to finish its headers).
// Null with the reason.
Encoder* encoder_open(int format, FILE* file, int32_t rate, std::string* error);
// Encodes `frames` interleaved stereo frames. False with the reason.
bool encoder_write(Encoder* encoder, const int16_t* pcm, int64_t frames, std::string* error);
// Finishes the headers and frees the encoder (the file stays open). False
// with the reason.
bool encoder_close(Encoder* encoder, std::string* error);
