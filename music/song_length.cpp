// How long a song plays until it repeats: its row ticks run without mixing.
#include "music/output.h"

int64_t song_length_frames(Song* song, int64_t max_frames, bool* repeats) {
    *repeats = false;
    if (!output_offline_start(song)) return 0;
    // The first tick starts the bookkeeping afresh: until then a song played
    // before still says where it repeated last time.
    do song->tick_handler(song);
    while (!song->repeated && song->frames_ticked < max_frames);
    *repeats = song->repeated;
    int64_t frames = song->repeated ? song->repeat_frame : max_frames;
    player_stop(song);
    return frames < max_frames ? frames : max_frames;
}
