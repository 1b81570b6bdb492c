// Output driver (stopped-state placeholder until the mixing thread lands).
#include "music/engine.h"

Voice voices[VOICE_COUNT];
Channel channels[MAX_CHANNELS];

void output_wait_idle() {}

bool player_play(Song* song) {
    if (!song) return false;
    player_stop(song);
    return false;
}

bool player_stop(Song* song) {
    return song != nullptr;
}

int player_get_order(Song*) {
    return 0;
}
int player_get_row(Song*) {
    return 0;
}
