// How long a song plays until it repeats: its row ticks run without mixing.
#include "music/output.h"

int64_t song_length_frames(Song* song, int64_t max_frames, bool* repeats) {
    *repeats = false;
    if (!output_offline_start(song)) return 0;
    playback.timing_only = 1;
    do song->tick_handler(song);
    while (!playback.repeated && playback.frames_ticked < max_frames);
    playback.timing_only = 0;
    *repeats = playback.repeated;
    int64_t frames = playback.repeated ? playback.repeat_frame : max_frames;
    player_stop(song);
    return frames < max_frames ? frames : max_frames;
}

int64_t player_repeat_frame() {
    return playback.repeated ? playback.repeat_frame : -1;
}
