// PNG images the host writes (WAV audio: os/wav.h). A regular file is written
// under a temporary name and renamed when complete, so nothing is left
// half-written; a device or pipe is written in place; links are followed.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// 8-bit RGB pixels, top row first. False with a reason on failure.
bool png_write_rgb(const char* path, const uint8_t* rgb, int32_t width, int32_t height,
                   std::string* error);

// For the PNG writers: opens `path` through the output rules, and commits
// (or, when !ok, discards) it; errors name the path.
struct OutFile;
bool image_io_open(OutFile* out, const char* path, std::string* error);
bool image_io_commit(OutFile* out, const char* path, bool ok, std::string* error);
