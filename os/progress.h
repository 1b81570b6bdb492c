// The progress line long work draws on the terminal: a bar of '#' for the
// share done, the percentage, and whatever the caller adds. Each redraw
// goes back to the start of the line and writes over the last one.
#pragma once
#include <cstdint>
#include <string>

constexpr int32_t PROGRESS_BAR_WIDTH = 30;

struct ProgressStyle {
    const char* label;  // what is being done, first on the line
    char empty;         // the bar's character for the share still to do
    bool percent_first; // "label  50% [bar]" rather than "label [bar]  50%"
};

// How the line ends when the work is done.
enum ProgressEnd {
    PROGRESS_KEEP,    // more to come: the next redraw writes over it
    PROGRESS_NEWLINE, // done: the line stays, the cursor goes below it
    PROGRESS_CLEAR,   // done: the line is wiped
};

// The line's text for `done` of `total` (> 0), then `tail`. No carriage return.
std::string progress_text(const ProgressStyle& style, int64_t done, int64_t total,
                          const std::string& tail);
// Writes `text` over the current line of standard error and ends it as told.
void progress_draw(const std::string& text, ProgressEnd end);
