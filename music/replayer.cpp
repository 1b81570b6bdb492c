// Replayer (placeholder until the tick scheduler lands).
#include "music/engine.h"

void replayer_tick(Song*) {}

int32_t replayer_set_bpm(Song* song, int32_t bpm) {
    if (bpm > 0) song->bpm = bpm;
    song->samples_per_tick =
        int32_t(1000.0 / (double(song->bpm) * double(0.4f)) * MIX_RATE * double(0.001f));
    return song->samples_per_tick;
}
