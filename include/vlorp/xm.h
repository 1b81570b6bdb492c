/*
 * vlorp XM engine: the public C interface.
 *
 * Loads XM (Extended Module) music, plays it on the default audio device
 * while telling which order and row are being heard, and renders it offline
 * into the caller's buffer as 16-bit stereo PCM at 44 100 Hz, bit for bit
 * what the `vlorp-xm` program writes.
 *
 * Conventions of every call
 *   - Every name starts with vlorp_xm_ or VLORP_XM_.
 *   - Every call returns VLORP_XM_OK (0) or a negative error code (the
 *     VLORP_XM_E_* list below; vlorp_xm_strerror gives a sentence), unless
 *     its description says otherwise. A failing call changes nothing and
 *     writes no output argument except where stated (a failed load sets
 *     *module to NULL).
 *   - A null pointer where a pointer is required gives VLORP_XM_E_NULL.
 *   - A vlorp_xm_module is an opaque handle. A handle the library did not
 *     hand out, or one already freed, gives VLORP_XM_E_BAD_HANDLE: the
 *     library keeps the list of live handles and never dereferences anything
 *     else. (Only a freed handle whose address a later load happened to get
 *     again cannot be told from that new module.)
 *   - Nothing throws, aborts or prints.
 *
 * One song at a time
 *   The engine has one output: at any moment at most one module is either
 *   playing or rendering. Starting a second playback or rendering while one
 *   runs (of the same module or another) gives VLORP_XM_E_BUSY; stop the
 *   first. Freeing the module that plays or renders gives VLORP_XM_E_BUSY.
 *   Loading, freeing other modules and reading information may happen at
 *   any time.
 *
 * Threads
 *   Every call may be made from any thread. Calls are serialised inside the
 *   library (a call waits while another runs; no call blocks for long except
 *   the loads, the first vlorp_xm_get_info or vlorp_xm_play of a module and
 *   vlorp_xm_get_length, which run the song silently to measure it, and
 *   vlorp_xm_play, which mixes the first two seconds of sound before it
 *   returns). Playback mixes on a thread of the library's own;
 *   the position queries never wait for it. The stream callbacks and the
 *   sample loader run on the loading thread, inside the load call: they
 *   must not call the library (such a call gives VLORP_XM_E_REENTRANT).
 *
 * Ownership
 *   The library owns every module from its load to vlorp_xm_free. It keeps
 *   no pointer to the caller's memory after a call returns: a memory image,
 *   a path, a name or a callback table may be released as soon as the load
 *   returns. Strings the library returns are static.
 */
#ifndef VLORP_XM_H
#define VLORP_XM_H

#include <stddef.h>
#include <stdint.h>

/* Windows: building the DLL exports the calls; a program that links the DLL
 * defines VLORP_XM_SHARED (pkg-config and the CMake target do) to import them. */
#if defined(_WIN32)
#if defined(VLORP_XM_SHARED_BUILD)
#define VLORP_XM_API __declspec(dllexport)
#elif defined(VLORP_XM_SHARED)
#define VLORP_XM_API __declspec(dllimport)
#else
#define VLORP_XM_API
#endif
#elif defined(__GNUC__)
#define VLORP_XM_API __attribute__((visibility("default")))
#else
#define VLORP_XM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------ */

/* The version of this header. The library's own (vlorp_xm_version) may be
 * newer: the major number changes only when a call or record changes in a
 * way that breaks programs built against an older header. */
#define VLORP_XM_VERSION_MAJOR 0
#define VLORP_XM_VERSION_MINOR 1
#define VLORP_XM_VERSION_PATCH 0
#define VLORP_XM_VERSION                                                                           \
    ((VLORP_XM_VERSION_MAJOR << 16) | (VLORP_XM_VERSION_MINOR << 8) | VLORP_XM_VERSION_PATCH)

/* The library's version, (major << 16) | (minor << 8) | patch. Never fails. */
VLORP_XM_API uint32_t vlorp_xm_version(void);
/* The same as "MAJOR.MINOR.PATCH". Static; never NULL. */
VLORP_XM_API const char* vlorp_xm_version_string(void);

/* ---- Results -------------------------------------------------------------- */

#define VLORP_XM_OK 0
#define VLORP_XM_E_NULL (-1)        /* a required pointer is NULL */
#define VLORP_XM_E_BAD_HANDLE (-2)  /* not a live module of this library (freed?) */
#define VLORP_XM_E_ARGUMENT (-3)    /* a number out of its range */
#define VLORP_XM_E_BUSY (-4)        /* a module plays or renders already */
#define VLORP_XM_E_NOT_STARTED (-5) /* the module is not playing / rendering */
#define VLORP_XM_E_OPEN (-6)        /* the file or stream cannot be opened or read */
#define VLORP_XM_E_TOO_LARGE (-7)   /* the module is larger than 2 GiB - 1 byte */
#define VLORP_XM_E_NOT_XM (-8)      /* it does not begin "Extended Module: " */
#define VLORP_XM_E_CHANNELS (-9)    /* its channel count is not 1 to 32 */
#define VLORP_XM_E_SAMPLES (-10)    /* an instrument has more than 16 samples */
#define VLORP_XM_E_DEVICE (-11)     /* no audio device could be opened */
#define VLORP_XM_E_REENTRANT (-12)  /* called from a callback of a running load */
#define VLORP_XM_E_SHORT (-13)      /* the file ends before its channel count */

/* A short English sentence for a result code ("unknown result" for others).
 * Static; never NULL. */
VLORP_XM_API const char* vlorp_xm_strerror(int32_t result);

/* ---- Loading -------------------------------------------------------------- */

typedef struct vlorp_xm_module vlorp_xm_module;

/* Loads a module from `size` bytes at `data`, read during the call only.
 * On success *module is a new module; on failure it is NULL and the result
 * says why (VLORP_XM_E_NULL, E_TOO_LARGE, E_NOT_XM, E_SHORT, E_CHANNELS,
 * E_SAMPLES).
 * A file cut short loads as far as it goes, the rest silent
 * (vlorp_xm_info.complete is 0). */
VLORP_XM_API int32_t vlorp_xm_load_memory(const void* data, size_t size, vlorp_xm_module** module);

/* Why the last load on the calling thread failed, in a few words: the
 * loader's own reason where it refused the bytes ("channel count 33 out of
 * range (1 to 32)", "header cut short at byte 68 (the first 69 are
 * needed)", "instrument 1 has 17 samples (at most 16)"), the system's reason
 * where a file could not be read ("No such file or directory"), or the
 * sentence of the result code otherwise. "" after a load that succeeded.
 * Meant for people, not for parsing: act on the result code. The text
 * belongs to the library and stays valid until the next load on the same
 * thread; any thread may call this at any time. */
VLORP_XM_API const char* vlorp_xm_load_error(void);

/* Loads the module file at `path` (the C library's fopen name, UTF-8 on
 * most systems). Read whole into memory first, so pipes and devices work.
 * Errors as vlorp_xm_load_memory, and VLORP_XM_E_OPEN when the file cannot
 * be opened or read. */
VLORP_XM_API int32_t vlorp_xm_load_file(const char* path, vlorp_xm_module** module);

/* Your own source of module bytes: five callbacks over a handle of yours.
 * `open` receives the name given to vlorp_xm_load_stream and returns a
 * handle, or NULL when it cannot open it; `read` copies up to `count` bytes
 * into `buffer` and returns how many it copied (fewer at the end, 0 past
 * it); `seek` moves to `offset` from the start (VLORP_XM_SEEK_SET), the
 * current position (_CUR) or the end (_END), and past the end it stops at
 * the end; `tell` returns the position; `close` ends the handle. Note the
 * handle's place: last for `read`, first for the others. The library opens
 * the stream once per load and closes it before the load returns. */
typedef void* vlorp_xm_stream_handle;
#define VLORP_XM_SEEK_SET 0
#define VLORP_XM_SEEK_CUR 1
#define VLORP_XM_SEEK_END 2
typedef struct vlorp_xm_stream_callbacks {
    vlorp_xm_stream_handle (*open)(const char* name);
    void (*close)(vlorp_xm_stream_handle handle);
    int32_t (*read)(void* buffer, int32_t count, vlorp_xm_stream_handle handle);
    void (*seek)(vlorp_xm_stream_handle handle, int32_t offset, uint8_t origin);
    int32_t (*tell)(vlorp_xm_stream_handle handle);
} vlorp_xm_stream_callbacks;

/* Optional: supplies the sample data instead of the stream. Called once per
 * sample that has data, in file order, with a zero-filled `destination` of
 * room for `byte_count` bytes; it writes `byte_count` bytes of plain signed
 * PCM (8-bit values when `bits` is 8, 16-bit little-endian when it is 16),
 * not delta-coded. The stream's copy of those bytes is skipped. Indices
 * count from 0. */
typedef void (*vlorp_xm_sample_loader)(void* destination, int32_t byte_count, int32_t bits,
                                       int32_t instrument_index, int32_t sample_index);

/* Loads a module through `callbacks` (all five required, else
 * VLORP_XM_E_NULL), opening `name` (may be NULL: "" is passed). The
 * `sample_loader` may be NULL. Errors as vlorp_xm_load_memory, and
 * VLORP_XM_E_OPEN when `open` returns NULL. The callbacks are called only
 * during this call, on this thread. */
VLORP_XM_API int32_t vlorp_xm_load_stream(const vlorp_xm_stream_callbacks* callbacks,
                                          const char* name, vlorp_xm_sample_loader sample_loader,
                                          vlorp_xm_module** module);

/* Releases a module and everything it holds. VLORP_XM_E_BUSY while it
 * plays or renders (stop it first); VLORP_XM_E_BAD_HANDLE for a module
 * already freed. NULL gives VLORP_XM_E_NULL. */
VLORP_XM_API int32_t vlorp_xm_free(vlorp_xm_module* module);

/* ---- What a module holds ------------------------------------------------ */

/* Songs repeat forever; the length is measured up to this limit (30 min). */
#define VLORP_XM_LENGTH_LIMIT_FRAMES ((int64_t)30 * 60 * 44100)

typedef struct vlorp_xm_info {
    char title[21];           /* the module's name, blanks at the end removed */
    uint8_t linear_frequency; /* 1: linear frequency table, 0: Amiga periods */
    uint8_t complete;         /* 0: the file is cut short, the rest plays silent */
    uint8_t repeats;          /* 1: the song repeats within the length limit */
    int32_t channels;         /* 1 to 32 */
    int32_t orders;           /* entries of the order table in use (song length) */
    int32_t restart_order;    /* where the song goes on after its last order */
    int32_t patterns;         /* patterns, including those the orders name but the file lacks */
    int32_t instruments;
    int32_t samples;             /* samples that hold sound */
    int32_t tempo;               /* initial beats per minute */
    int32_t speed;               /* initial ticks per row */
    int64_t length_frames;       /* frames until the song first repeats (at most the limit);
                                    -1 when not known yet (see vlorp_xm_get_info) */
    char tracker[21];            /* the program that saved it, blanks at the end removed */
    uint8_t missing_part;        /* VLORP_XM_MISSING_*: the part a cut-short file first lacks */
    uint16_t flags;              /* the header's flags word as stored (bit 0: linear table) */
    int32_t missing_index;       /* the pattern or instrument it lacks, from 0 (else 0) */
    int32_t referenced_patterns; /* highest pattern number the orders name, plus 1 */
    int64_t sample_frames;       /* the frames of all samples that hold sound */
    int32_t reserved[8];         /* 0 */
} vlorp_xm_info;

/* vlorp_xm_info.missing_part: what a file cut short lacks first; that part
 * and everything after it are missing and play as silence. */
#define VLORP_XM_MISSING_NONE 0       /* the file is complete */
#define VLORP_XM_MISSING_HEADER 1     /* the rest of the module header */
#define VLORP_XM_MISSING_PATTERN 2    /* pattern missing_index */
#define VLORP_XM_MISSING_INSTRUMENT 3 /* the header of instrument missing_index */
#define VLORP_XM_MISSING_SAMPLES 4    /* sample data of instrument missing_index */

/* Fills *info. The length until the song repeats is measured by running
 * the song silently through the engine (a few milliseconds for most songs)
 * the first time it is needed: at the first vlorp_xm_get_info, or at the
 * first vlorp_xm_play, while no module plays or renders. Until then (a
 * module asked about only while another plays, or while it renders itself)
 * length_frames is -1. A load alone measures nothing. */
VLORP_XM_API int32_t vlorp_xm_get_info(vlorp_xm_module* module, vlorp_xm_info* info);

/* The frames from order `start_order` (0 to orders - 1; 0 for a song with
 * no orders) until the song first repeats, measured as vlorp_xm_get_info's
 * length (which counts from order 0), at most VLORP_XM_LENGTH_LIMIT_FRAMES.
 * *repeats (may be NULL) is 1 when the song repeats within the limit.
 * Runs the song silently through the engine: a few milliseconds for most
 * songs. VLORP_XM_E_ARGUMENT for another order; VLORP_XM_E_BUSY while any
 * module plays or renders. */
VLORP_XM_API int32_t vlorp_xm_get_length(vlorp_xm_module* module, int32_t start_order,
                                         int64_t* frames, uint8_t* repeats);

/* ---- Playback on the default audio device ------------------------------- */

/* Starts playing from the beginning (order 0, row 0). The song loops: after
 * its last order it goes on at its restart order until vlorp_xm_stop.
 * Measures the song's length first if nobody asked yet (vlorp_xm_get_info),
 * then mixes the first two seconds (100 blocks of 884 frames) before it
 * returns; the device then plays while a thread of the library refills it.
 * VLORP_XM_E_BUSY if this or another module plays or renders;
 * VLORP_XM_E_DEVICE if no audio device opens (on Linux the library loads
 * ALSA, libasound, for sound when it first plays). */
VLORP_XM_API int32_t vlorp_xm_play(vlorp_xm_module* module);

/* As vlorp_xm_play, starting at order `start_order` (0 to orders - 1; 0 for
 * a song with no orders), row 0, with the engine in the state playback
 * starts from (as vlorp_xm_render_start's start order: the same blocks).
 * When the song reaches its end it goes on at its restart order, as always.
 * VLORP_XM_E_ARGUMENT for another order (checked before the device opens);
 * otherwise the errors of vlorp_xm_play. */
VLORP_XM_API int32_t vlorp_xm_play_from(vlorp_xm_module* module, int32_t start_order);

/* Why the last vlorp_xm_play or vlorp_xm_play_from that gave
 * VLORP_XM_E_DEVICE could not play, in the audio system's words ("" when
 * the last play started). Any thread; the text stays valid until the next
 * call of this on the same thread. */
VLORP_XM_API const char* vlorp_xm_device_error(void);

/* Stops playback and closes the device. VLORP_XM_E_NOT_STARTED if this
 * module is not playing. */
VLORP_XM_API int32_t vlorp_xm_stop(vlorp_xm_module* module);

typedef struct vlorp_xm_position {
    int32_t order;       /* index into the order table, 0 to 255 */
    int32_t row;         /* row of that order's pattern, 0 to 255 (low 8 bits) */
    int32_t reserved[6]; /* 0 */
} vlorp_xm_position;

/* The position being heard: the order and row the song had reached at the
 * end of the 20 ms block the device is playing now (not the one mixed last,
 * which is two seconds ahead). It moves in steps of one block. While the
 * module renders: the position at the end of the last block rendered.
 * VLORP_XM_E_NOT_STARTED when it does neither. Cheap: call it every frame. */
VLORP_XM_API int32_t vlorp_xm_get_position(vlorp_xm_module* module, vlorp_xm_position* position);

/* ---- The position heard, for pictures in step with the sound ----------- */

/* The library's clock: monotonic seconds (only differences count), the
 * clock vlorp_xm_get_heard's `when` is told in. Never fails; any thread. */
VLORP_XM_API double vlorp_xm_clock(void);

/* Looking further ahead than this (seconds) is taken as this far. */
#define VLORP_XM_HEARD_AHEAD_LIMIT 0.5

typedef struct vlorp_xm_heard {
    double when;          /* the clock time described (vlorp_xm_clock seconds) */
    double frames;        /* frames of the song heard by then, from the first
                             frame played (the start order's first), with a fraction */
    int64_t ms;           /* the same in whole milliseconds (truncated) */
    int64_t delay_frames; /* frames given to the device and not heard yet */
    int32_t order;        /* order and row of the block those frames fall in */
    int32_t row;
    int32_t reserved[6]; /* 0 */
} vlorp_xm_heard;

/* What is heard at `when` (vlorp_xm_clock seconds): now, or a little ahead
 * for a picture that will be shown then. Unlike vlorp_xm_get_position,
 * which moves in 20 ms steps, `frames` runs smoothly between the device's
 * reports, follows the device when it starts late, stalls or drifts from
 * the system clock (catching up gently, never jumping back), and never
 * goes backwards, whoever asks: a `when` earlier than the last one asked
 * gets that last answer again. A `when` in the future runs on from now at
 * the nominal rate (at most VLORP_XM_HEARD_AHEAD_LIMIT). Order and row are
 * those of the 20 ms block the heard frames fall in. Before the device
 * plays anything, frames is 0 and order and row are those of the first
 * block. While the module renders: the frames rendered so far, delay 0,
 * the order and row at the end of the last block rendered.
 * VLORP_XM_E_NOT_STARTED when it does neither; VLORP_XM_E_ARGUMENT for a
 * `when` that is not a finite number. Cheap: call it once per picture, from
 * any thread. */
VLORP_XM_API int32_t vlorp_xm_get_heard(vlorp_xm_module* module, double when,
                                        vlorp_xm_heard* heard);

/* The name of the mixing code this processor runs ("plain", "sse2",
 * "avx2" or "avx512"): every one gives the same bits, faster or slower.
 * The environment variable VLORP_MIXER may ask for one (tests and speed
 * measurements); a name the processor cannot run is not used. Static. */
VLORP_XM_API const char* vlorp_xm_mixer_name(void);

/* ---- Offline rendering ---------------------------------------------------- */

#define VLORP_XM_SAMPLE_RATE 44100
#define VLORP_XM_CHANNELS 2       /* interleaved, left first */
#define VLORP_XM_BLOCK_FRAMES 884 /* one block: 20 ms rounded up to 4 frames */

/* Starts rendering from order `start_order` (0 to orders - 1; 0 for a song
 * with no orders), row 0, with the engine in the state playback starts
 * from. VLORP_XM_E_ARGUMENT for another order; VLORP_XM_E_BUSY if this or
 * another module plays or renders. */
VLORP_XM_API int32_t vlorp_xm_render_start(vlorp_xm_module* module, int32_t start_order);

typedef struct vlorp_xm_block_info {
    int32_t order;      /* the song's order at the end of the block (0 to 255) */
    int32_t row;        /* its row (low 8 bits) */
    int32_t elapsed_ms; /* milliseconds played at the end of the block */
    uint8_t past_end;   /* 1: the block begins at or after the point where the song
                           first repeats; a render once through stops before it */
    uint8_t reserved[3];
} vlorp_xm_block_info;

/* Renders the next `block_count` blocks into `pcm`: block_count *
 * VLORP_XM_BLOCK_FRAMES frames of interleaved signed 16-bit stereo (native
 * byte order), and, if `blocks` is not NULL, one record per block. Returns
 * the number of blocks rendered (block_count), or an error:
 * VLORP_XM_E_ARGUMENT for a negative count, VLORP_XM_E_NULL for a NULL
 * `pcm` with a count above 0, VLORP_XM_E_NOT_STARTED when the module is not
 * rendering. The song never ends by itself: use past_end or length_frames. */
VLORP_XM_API int32_t vlorp_xm_render(vlorp_xm_module* module, int16_t* pcm, int32_t block_count,
                                     vlorp_xm_block_info* blocks);

/* Ends rendering. VLORP_XM_E_NOT_STARTED if the module is not rendering. */
VLORP_XM_API int32_t vlorp_xm_render_stop(vlorp_xm_module* module);

#ifdef __cplusplus
}
#endif

#endif /* VLORP_XM_H */
