/* Plays an XM module on the default audio device once through and prints
 * the song time, order and row being heard each time the row changes: what
 * a demo or game would use to put its pictures in step with the music.
 *
 *   xm-play FILE.xm [SECONDS]
 */
#ifndef _WIN32
#define _POSIX_C_SOURCE 199309L /* nanosleep under -std=c99 */
#endif
#include <vlorp/xm.h>

#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
static void sleep_ms(int ms) {
    Sleep((DWORD)ms);
}
#else
#include <time.h>
static void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: xm-play FILE.xm [SECONDS]\n");
        return 2;
    }
    vlorp_xm_module* module;
    int32_t result = vlorp_xm_load_file(argv[1], &module);
    if (result != VLORP_XM_OK) {
        fprintf(stderr, "xm-play: %s: %s\n", argv[1], vlorp_xm_load_error());
        return 1;
    }
    vlorp_xm_info info;
    vlorp_xm_get_info(module, &info);
    /* Once through, or as long as asked. */
    double seconds = argc == 3 ? atof(argv[2]) : (double)info.length_frames / VLORP_XM_SAMPLE_RATE;
    printf("%s: %d channels, %d orders, %.1f s\n", info.title, info.channels, info.orders, seconds);
    result = vlorp_xm_play(module);
    if (result != VLORP_XM_OK) {
        if (result == VLORP_XM_E_DEVICE)
            fprintf(stderr, "xm-play: no audio device: %s\n", vlorp_xm_device_error());
        else
            fprintf(stderr, "xm-play: %s\n", vlorp_xm_strerror(result));
        vlorp_xm_free(module);
        return 1;
    }
    /* Until the end is heard (however late the device started), or, with a
     * device that never gets going, a few seconds after it should have been. */
    double started = vlorp_xm_clock();
    int32_t last_order = -1, last_row = -1;
    for (;;) {
        vlorp_xm_heard now;
        vlorp_xm_get_heard(module, vlorp_xm_clock(), &now);
        double heard = now.frames / VLORP_XM_SAMPLE_RATE;
        if (heard >= seconds || now.when - started > seconds + 5) break;
        if (now.order != last_order || now.row != last_row) {
            printf("%7.2f s  order %3d  row %3d\n", heard, (int)now.order, (int)now.row);
            fflush(stdout);
            last_order = now.order;
            last_row = now.row;
        }
        sleep_ms(5);
    }
    vlorp_xm_stop(module);
    vlorp_xm_free(module);
    return 0;
}
