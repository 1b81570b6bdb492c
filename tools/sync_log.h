// --sync-log FILE: one line per frame (vlorp) or status poll (vlorp-xm
// play) saying what the program believed was being heard, for measuring
// how well picture and sound keep step (tests/sync/measure.sh):
//
//   TIME HEARD DELAY ORDER ROW SHOW CLOCK
//
// TIME is the engine's monotonic clock in seconds when the frame appeared
// (or the poll was made); HEARD the frames of the song heard by then, as
// the program counted them; DELAY the device delay in frames it used;
// ORDER and ROW the position drawn or shown; SHOW the show time in seconds;
// CLOCK "audio" while following the device, "system" otherwise.
#pragma once
#include "os/outfile.h"

#include <cstdint>
#include <string>

struct SyncLog {
    OutFile file;
    bool open;
};

// Opens the log (nothing happens for a null path). False with the reason.
bool sync_log_open(SyncLog* log, const char* path, std::string* error);
void sync_log_write(SyncLog* log, double time, double heard, int64_t delay, int32_t order,
                    int32_t row, double show_time, bool audio);
// Leaves nothing behind (a run that never started).
void sync_log_discard(SyncLog* log);
// Puts the log in place. False with the reason.
bool sync_log_close(SyncLog* log, std::string* error);
