// GLSL programs from one marked-up text holding both stages.
//
// Format: lines separated by any run of CR/LF; a line that is exactly
// "#vertexshader" or "#fragmentshader" starts that stage's section; lines
// before the first marker go to both stages. Every non-empty source line
// becomes one line of each stage text (a bare line feed where it does not
// belong), so compiler line numbers name source lines.
#pragma once
#include <cstdint>
#include <string>

constexpr int32_t SHADER_SOURCE_MAX = 10239; // bytes, without a terminating zero
constexpr int32_t SHADER_STAGE_CAPACITY = 32768;

// Fetches the GL_ARB_shader_objects entry points. A GL context must be current.
void shader_load_entry_points();

// Splits `source` into the two stage texts. False (texts empty) when the
// source is longer than SHADER_SOURCE_MAX.
bool shader_split_source(const char* source, int32_t length, std::string* vertex,
                         std::string* fragment);

// Compiles, attaches and links both stages; returns the program handle, or
// 0 for a source longer than SHADER_SOURCE_MAX. Compile and link results
// are not examined.
uint32_t shader_build_program(const char* source, int32_t length);
