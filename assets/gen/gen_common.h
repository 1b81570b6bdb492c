// Shared plumbing of the asset generators: command line, safe file output
// and the TGA container. Every generator is deterministic: same program,
// same bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct GenArgs {
    const char* output; // file to write; null when the program should exit
    int exit_status;    // status to exit with when output is null
    bool verbose;       // -v: print figures of what was made on stderr
};

// Reads "[-v] [-o] FILE" or "--help". `what` is one line describing the asset.
GenArgs gen_parse_args(int argc, char** argv, const char* program, const char* file_name,
                       const char* what);

// Writes `bytes` to `path` as every output is written (os/outfile.h): a file
// is replaced whole or not at all, so an interrupted run never leaves a
// half-written asset; a device or pipe is written in place. Prints the
// reason on failure.
bool gen_write_file(const char* program, const char* path, const std::vector<uint8_t>& bytes);

constexpr uint8_t TGA_TRUE_COLOUR = 2;
constexpr uint8_t TGA_GREYSCALE = 3;
constexpr uint8_t TGA_DESCRIPTOR_BOTTOM_LEFT_8 = 0x08;
constexpr int TGA_HEADER_SIZE = 18;
constexpr int TGA_FOOTER_SIZE = 26;

// An uncompressed TGA: 18-byte header, the pixel rows bottom row first, and
// the 26-byte TGA 2.0 footer (no extension or developer area).
std::vector<uint8_t> gen_tga(uint8_t image_type, int width, int height, int bits_per_pixel,
                             const std::vector<uint8_t>& pixels);
