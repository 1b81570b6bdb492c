// Shared pieces of the vlorp-xm commands.
#pragma once
#include "vlorp/xm.h"

#include <cstdint>
#include <string>

struct option;

// The engine's block and rate, by the names the commands use.
constexpr int32_t BLOCK_FRAMES = VLORP_XM_BLOCK_FRAMES;
constexpr int32_t MIX_RATE = VLORP_XM_SAMPLE_RATE;

// Reads the module `path` ("-": standard input) whole, once, so pipes and
// standard input load like files. Prints the reason and returns false on failure.
bool vlorp_xm_read(const char* path, std::string* bytes);
// Loads a module from the bytes read and fills *info (unless null: asking
// measures the song's length); prints the engine's reason and returns null
// on failure.
vlorp_xm_module* vlorp_xm_load(const char* path, const std::string& bytes, vlorp_xm_info* info);
// Says in one line on stderr that a module is cut short (nothing if not).
void vlorp_xm_warn_cut(const char* path, const vlorp_xm_info& info);
// The name of `path` in messages: "standard input" for "-".
const char* vlorp_xm_input_name(const char* path);
// What a cut-short module lacks ("pattern 3 of 19"), or "" when complete.
std::string vlorp_xm_missing(const vlorp_xm_info& info);

// Songs never stop by themselves; tools play one until it first repeats
// (vlorp_xm_get_length), at most as long as the library measures (30 minutes),
// so that vlorp-xm and a library user agree on every song's length.
constexpr int64_t VLORP_XM_MAX_FRAMES = VLORP_XM_LENGTH_LIMIT_FRAMES;

// ---- options: getopt_long with the rules every command shares ----

// One command's parse. Each option may be given once; a missing value, an
// unknown or repeated option prints one line and stops the parse.
struct XmOptions {
    const char* command; // "render", for messages
    const char* shorts;  // getopt's short options, without the leading ':'
    const option* longs;
    int seen[512];
};
// Starts a parse of argv[0] (the command) and its arguments.
void vlorp_xm_options_begin(XmOptions* parse, const char* command, const char* shorts,
                            const option* longs);
// The next option's value (getopt's), -1 after the last, '?' after an error
// (already printed). *value gets the option's argument.
int vlorp_xm_option(XmOptions* parse, int argc, char** argv, const char** value);
// The index of the first operand once vlorp_xm_option returned -1.
int vlorp_xm_operands();
// Prints "vlorp-xm COMMAND: MESSAGE (see ...)" and returns 2.
int vlorp_xm_usage_error(const char* command, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Strict numbers: plain decimal, no spaces, no hex; within [low, high].
bool vlorp_xm_number(const char* text, double low, double high, double* value);
bool vlorp_xm_integer(const char* text, long long low, long long high, long long* value);

// Checks that standard output took everything; prints the reason and returns
// false if not. A reader that went away (a closed pipe) ends quietly: *quiet.
bool vlorp_xm_stdout_ok(bool* quiet);
// The status for a reader that closed the pipe, as a program stopped by
// SIGPIPE shows it.
constexpr int VLORP_XM_PIPE_CLOSED = 141;

int cmd_render(int argc, char** argv); // tools/xm_render.cpp
int cmd_play(int argc, char** argv);   // tools/xm_play.cpp
