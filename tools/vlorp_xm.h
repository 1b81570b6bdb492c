// Shared pieces of the vlorp-xm commands.
#pragma once
#include <cstdint>

struct Song;

// Loads `path` through the file source; prints the reason and returns null on failure.
Song* vlorp_xm_load(const char* path);
// True if any argument asks for help.
bool vlorp_xm_wants_help(int argc, char** argv);

// Songs never stop by themselves; tools play one until it first repeats
// (song_length_frames).
constexpr int64_t VLORP_XM_MAX_FRAMES = int64_t(30) * 60 * 44100; // 30 minutes

int cmd_render(int argc, char** argv); // tools/xm_render.cpp
int cmd_play(int argc, char** argv);   // tools/xm_play.cpp
