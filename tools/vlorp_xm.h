// Shared pieces of the vlorp-xm commands.
#pragma once

struct Song;

// Loads `path` through the file source; prints the reason and returns null on failure.
Song* vlorp_xm_load(const char* path);
// True if any argument asks for help.
bool vlorp_xm_wants_help(int argc, char** argv);

int cmd_render(int argc, char** argv); // tools/xm_render.cpp
int cmd_play(int argc, char** argv);   // tools/xm_play.cpp
