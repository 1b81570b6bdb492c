/* Renders an XM module to a WAV file (16-bit stereo, 44 100 Hz), once
 * through: from the start (or from an order position) until the song first
 * repeats. From the start the bytes are those `vlorp-xm render` writes.
 *
 *   xm-render FILE.xm OUT.wav [START_ORDER]
 */
#include <vlorp/xm.h>

#include <stdio.h>
#include <stdlib.h>

#define BLOCKS_AT_ONCE 64

static void put_le(unsigned char* p, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = (unsigned char)(value >> (8 * i));
}

static void wav_header(unsigned char h[44], uint32_t data_bytes) {
    const unsigned char riff[] = "RIFF\0\0\0\0WAVEfmt ";
    for (int i = 0; i < 16; i++) h[i] = riff[i];
    put_le(h + 4, 36 + data_bytes, 4);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2); /* PCM */
    put_le(h + 22, VLORP_XM_CHANNELS, 2);
    put_le(h + 24, VLORP_XM_SAMPLE_RATE, 4);
    put_le(h + 28, VLORP_XM_SAMPLE_RATE * 4, 4);
    put_le(h + 32, 4, 2);
    put_le(h + 34, 16, 2);
    h[36] = 'd', h[37] = 'a', h[38] = 't', h[39] = 'a';
    put_le(h + 40, data_bytes, 4);
}

static int fail(const char* what, int32_t result) {
    fprintf(stderr, "xm-render: %s: %s\n", what, vlorp_xm_strerror(result));
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: xm-render FILE.xm OUT.wav [START_ORDER]\n");
        return 2;
    }
    int32_t start_order = argc == 4 ? (int32_t)atoi(argv[3]) : 0;
    vlorp_xm_module* module;
    int32_t result = vlorp_xm_load_file(argv[1], &module);
    if (result != VLORP_XM_OK) {
        /* The load's own reason says more than the code's sentence. */
        fprintf(stderr, "xm-render: %s: %s\n", argv[1], vlorp_xm_load_error());
        return 1;
    }
    result = vlorp_xm_render_start(module, start_order);
    if (result != VLORP_XM_OK) {
        vlorp_xm_free(module);
        return fail("render", result);
    }
    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    unsigned char header[44];
    wav_header(header, 0); /* the length is known at the end */
    fwrite(header, 1, sizeof header, out);

    static int16_t pcm[BLOCKS_AT_ONCE * VLORP_XM_BLOCK_FRAMES * VLORP_XM_CHANNELS];
    static unsigned char bytes[sizeof pcm];
    vlorp_xm_block_info blocks[BLOCKS_AT_ONCE];
    int64_t frames = 0;
    int done = 0;
    while (!done && frames < VLORP_XM_LENGTH_LIMIT_FRAMES) {
        vlorp_xm_render(module, pcm, BLOCKS_AT_ONCE, blocks);
        int keep = 0;
        /* Keep the blocks before the song repeats, and none past the limit. */
        while (keep < BLOCKS_AT_ONCE && !blocks[keep].past_end &&
               frames + (int64_t)keep * VLORP_XM_BLOCK_FRAMES < VLORP_XM_LENGTH_LIMIT_FRAMES)
            keep++;
        done = keep < BLOCKS_AT_ONCE;
        size_t samples = (size_t)keep * VLORP_XM_BLOCK_FRAMES * VLORP_XM_CHANNELS;
        for (size_t i = 0; i < samples; i++) put_le(bytes + 2 * i, (uint16_t)pcm[i], 2);
        fwrite(bytes, 2, samples, out);
        frames += (int64_t)keep * VLORP_XM_BLOCK_FRAMES;
    }
    vlorp_xm_render_stop(module);
    vlorp_xm_free(module);

    wav_header(header, (uint32_t)(frames * 4));
    int ok = fseek(out, 0, SEEK_SET) == 0 && fwrite(header, 1, sizeof header, out) == sizeof header;
    ok = fclose(out) == 0 && ok;
    if (!ok) {
        perror(argv[2]);
        return 1;
    }
    printf("%s: %.3f s\n", argv[2], (double)frames / VLORP_XM_SAMPLE_RATE);
    return 0;
}
