// Stills and capture: the show rendered off-screen at exact times, with
// the song position taken from the soundtrack mixed offline. A frame at
// show time t shows the order and row of the block being heard at t, as
// the position queries would report them live. Off-screen rendering
// changes nothing on the desktop, so nothing is torn down at the end: the
// GL driver goes with the process.
#include "host/host.h"
#include "gfx/gl.h"
#include "host/capture.h"
#include "host/image_io.h"
#include "host/soundtrack.h"
#include "show/show.h"
#include "os/os.h"
#include "os/outfile.h"
#include "os/progress.h"
#include "os/wav.h"

#include <csignal>
#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static volatile sig_atomic_t interrupted;
static void on_interrupt(int) {
    interrupted = 1;
}

static bool open_offscreen() {
    std::string error;
    if (!host_open_window(HOST_OFFSCREEN, &error)) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        return false;
    }
    show_setup();
    host_screen_setup(HOST_OFFSCREEN);
    return true;
}

// Said when Ctrl-C (or a termination request) stopped the work before
// anything was written.
static int still_interrupted(const char* png_path) {
    fprintf(stderr, "vlorp: interrupted; %s not written\n", png_path);
    return 130;
}

int offline_still(double t, const char* png_path) {
    // Ours before the window system's: it would only queue a quit event.
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    vlorp_xm_module* song = host_load_song();
    std::vector<vlorp_xm_block_info> positions;
    const int64_t block = t >= 0 ? show_block_at(t) : -1;
    soundtrack_mix(song, int32_t(block + 1), nullptr, &positions);
    if (song) vlorp_xm_free(song);
    if (interrupted) return still_interrupted(png_path);
    if (!open_offscreen()) return 1;
    if (interrupted) return still_interrupted(png_path);

    if (t < 0) {
        host_blank_frame();
    } else {
        // The show's own record of the blocks heard.
        std::vector<TimeInfo> heard(positions.size());
        for (size_t k = 0; k < heard.size(); k++)
            heard[k] = {uint8_t(positions[k].order), uint8_t(positions[k].row),
                        positions[k].elapsed_ms};
        show_replay(&show_state, heard.data(), t);
        const vlorp_xm_block_info& p = positions[size_t(block)];
        show_frame(t, p.order, p.row);
        host_present();
    }
    if (interrupted) return still_interrupted(png_path);
    std::string error;
    const bool ok =
        png_write_rgb(png_path, host_screen_pixels(), SCREEN_WIDTH, SCREEN_HEIGHT, &error);
    if (!ok) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// ---- capture ----

static bool is_directory_target(const std::string& out) {
    return (!out.empty() && strchr(OS_PATH_SEPARATORS, out.back())) || os_is_directory(out.c_str());
}

struct Progress {
    bool terminal;
    double started;
    double last_drawn;
};

static void capture_progress(Progress* progress, int64_t done, int64_t total) {
    if (!progress->terminal) return;
    const double now = clock_seconds();
    if (done < total && now - progress->last_drawn < 0.1) return;
    progress->last_drawn = now;
    const double elapsed = now - progress->started;
    const double left = done > 0 ? elapsed * double(total - done) / double(done) : 0;
    char tail[80];
    snprintf(tail, sizeof tail, "  %lld/%lld frames  %d:%02d left ", (long long)done,
             (long long)total, int32_t(left) / 60, int32_t(left) % 60);
    progress_draw(progress_text({"vlorp: capturing", '-', false}, done, total, tail),
                  done == total ? PROGRESS_CLEAR : PROGRESS_KEEP);
}

// Everything one capture works with, from the first step to the last.
struct CaptureRun {
    std::string out;
    int32_t fps;
    bool to_directory;
    std::string ffmpeg;   // a video: the encoder
    FolderCapture folder; // a folder: where its files are made
    OutTarget target;     // a video: where it goes
    std::string wav;      // the sound, in the folder or a scratch file
    std::string video_tmp;
    OsChild encoder;
    std::vector<vlorp_xm_block_info> positions; // the block being heard, block by block
    std::string error;
};

// For a folder, where its files are made; for a video, the encoder. False
// when neither can be had (said why).
static bool capture_begin(CaptureRun* run) {
    if (run->to_directory) {
        if (!strchr(OS_PATH_SEPARATORS, run->out.back())) run->out += '/';
        if (!folder_begin(&run->folder, run->out, &run->error)) {
            fprintf(stderr, "vlorp: %s\n", run->error.c_str());
            return false;
        }
        return true;
    }
    run->ffmpeg = os_find_program("ffmpeg");
    if (run->ffmpeg.empty()) {
        fprintf(stderr,
                "vlorp: ffmpeg not found; %s or capture PNG frames and a WAV instead: "
                "vlorp --capture DIR/\n",
                OS_FFMPEG_HINT);
        return false;
    }
    return true;
}

// The whole soundtrack, which also gives every frame its position: one
// silent second, then the song from its start.
static std::vector<int16_t> capture_mix(CaptureRun* run, int64_t* audio_frames) {
    constexpr int64_t rate = VLORP_XM_SAMPLE_RATE;
    const int64_t song_frames = int64_t(SHOW_LENGTH) * rate;
    const int64_t blocks = (song_frames + VLORP_XM_BLOCK_FRAMES - 1) / VLORP_XM_BLOCK_FRAMES;
    vlorp_xm_module* song = host_load_song();
    std::vector<int16_t> song_pcm;
    soundtrack_mix(song, int32_t(blocks), &song_pcm, &run->positions);
    if (song) vlorp_xm_free(song);

    *audio_frames = int64_t(BLANK_PHASE) * rate + song_frames;
    std::vector<int16_t> audio(size_t(*audio_frames) * 2, 0);
    std::copy_n(song_pcm.begin(), size_t(song_frames) * 2,
                audio.begin() + int64_t(BLANK_PHASE) * rate * 2);
    return audio;
}

// A video's sound in a scratch file, and the name the video is made under.
static bool capture_video_files(CaptureRun* run, const std::vector<int16_t>& audio,
                                int64_t audio_frames) {
    std::string& error = run->error;
    FILE* file = outfile_scratch(".wav", &run->wav, &error);
    bool written = file && wav_put_stereo16(file, audio.data(), audio_frames, VLORP_XM_SAMPLE_RATE);
    if (file && !written) error = run->wav + ": " + strerror(errno ? errno : EIO);
    if (file && fclose(file) != 0 && written) {
        written = false;
        error = run->wav + ": " + strerror(errno);
    }
    if (!written) {
        if (file) remove(run->wav.c_str());
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        return false;
    }
    // A device or pipe cannot be sought back into: the video is made in a
    // scratch file and copied there when complete.
    if (run->target.direct) {
        FILE* scratch = outfile_scratch(".mp4", &run->video_tmp, &error);
        if (!scratch) {
            remove(run->wav.c_str());
            fprintf(stderr, "vlorp: %s\n", error.c_str());
            return false;
        }
        fclose(scratch);
    } else {
        if (!outfile_temp_file(run->target.path, &run->video_tmp, &error)) {
            error = run->out + ": " + error;
            remove(run->wav.c_str());
            fprintf(stderr, "vlorp: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

// The sound written where the frames will be joined to it. False (said why,
// nothing left) on failure.
static bool capture_sound(CaptureRun* run, const std::vector<int16_t>& audio,
                          int64_t audio_frames) {
    // A video's sound waits in a scratch file; a video replaces its target
    // only when complete, unless the target is a device or pipe.
    run->target = {run->out, false, false};
    if (!run->to_directory) {
        if (!outfile_target(run->out.c_str(), &run->target, &run->error)) {
            fprintf(stderr, "vlorp: %s: %s\n", run->out.c_str(), run->error.c_str());
            return false;
        }
        return capture_video_files(run, audio, audio_frames);
    }
    FolderCapture* folder = &run->folder;
    run->wav = folder->work + "soundtrack.wav";
    if (!wav_write_stereo16(run->wav.c_str(), audio.data(), audio_frames, VLORP_XM_SAMPLE_RATE,
                            &run->error)) {
        fprintf(stderr, "vlorp: %s; %s %s\n", folder_error(folder, run->error).c_str(),
                run->out.c_str(), folder->existed ? "is as it was" : "not written");
        folder_discard(folder);
        return false;
    }
    folder->files.push_back("soundtrack.wav");
    return true;
}

static void capture_cleanup(CaptureRun* run) {
    if (!run->to_directory) {
        remove(run->wav.c_str());
        remove(run->video_tmp.c_str());
    } else {
        folder_discard(&run->folder);
    }
}

// Frame k, drawn and handed to the folder or the encoder.
static bool capture_frame(CaptureRun* run, int64_t k, int64_t blank_frames) {
    if (k < blank_frames) {
        host_blank_frame();
    } else {
        // Exact frame time; the block index in integers, free of rounding.
        const int64_t n = k - blank_frames;
        const double t = double(n) / run->fps;
        const vlorp_xm_block_info& p = run->positions[size_t(show_block_at_frame(n, run->fps))];
        show_frame(t, p.order, p.row);
        host_present();
    }
    if (run->to_directory) {
        const std::string name = capture_frame_name(k);
        const bool ok = png_write_rgb((run->folder.work + name).c_str(), host_screen_pixels(),
                                      SCREEN_WIDTH, SCREEN_HEIGHT, &run->error);
        if (ok) run->folder.files.push_back(name);
        return ok;
    }
    const size_t frame_bytes = size_t(SCREEN_WIDTH) * SCREEN_HEIGHT * 3;
    if (fwrite(host_screen_pixels(), 1, frame_bytes, run->encoder.input) == frame_bytes)
        return true;
    run->error = "ffmpeg stopped reading frames";
    return false;
}

// Puts the finished work in place, or takes away what was made of it.
static bool capture_finish(CaptureRun* run, bool ok) {
    if (!run->to_directory) {
        const bool encoded = os_child_finish(&run->encoder);
        if (ok && !interrupted && !encoded) {
            ok = false;
            run->error = "ffmpeg failed to encode " + run->out;
        }
        if (ok && !interrupted && run->target.direct) {
            ok = capture_copy_file(run->video_tmp, run->out, &run->error);
        } else if (ok && !interrupted &&
                   !os_replace_file(run->video_tmp.c_str(), run->target.path.c_str())) {
            ok = false;
            run->error = run->out + ": " + strerror(errno);
        }
        capture_cleanup(run);
    } else if (ok && !interrupted) {
        ok = folder_commit(&run->folder, &run->error);
    } else {
        folder_discard(&run->folder);
    }
    return ok;
}

// What the user is told at the end; the exit status.
static int capture_report(const CaptureRun* run, bool ok, bool terminal, int64_t total_frames,
                          double started) {
    // What is left: for a folder that was there, exactly what was in it.
    const char* left = run->folder.existed ? "is as it was" : "not written";
    if (interrupted) {
        if (terminal) fprintf(stderr, "\n");
        fprintf(stderr, "vlorp: capture interrupted; %s %s\n", run->out.c_str(), left);
        return 130;
    }
    if (!ok) {
        if (terminal) fprintf(stderr, "\n");
        if (run->to_directory)
            fprintf(stderr, "vlorp: %s; %s %s\n", folder_error(&run->folder, run->error).c_str(),
                    run->out.c_str(), left);
        else
            fprintf(stderr, "vlorp: %s\n", run->error.c_str());
        return 1;
    }
    fprintf(stderr, "vlorp: wrote %s (%lld frames at %d fps%s) in %.1f s\n", run->out.c_str(),
            (long long)total_frames, run->fps,
            run->to_directory ? ", soundtrack.wav" : ", with sound", clock_seconds() - started);
    return 0;
}

int offline_capture(const char* out_arg, int32_t fps) {
    const double started = clock_seconds();
    CaptureRun run = {};
    run.out = out_arg;
    run.fps = fps;
    run.to_directory = is_directory_target(run.out);
    // Ours before the window system's, and before anything is written.
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    if (!capture_begin(&run)) return 1;

    int64_t audio_frames = 0;
    std::vector<int16_t> audio = capture_mix(&run, &audio_frames);
    if (interrupted) {
        folder_discard(&run.folder);
        fprintf(stderr, "vlorp: capture interrupted; %s %s\n", run.out.c_str(),
                run.folder.existed ? "is as it was" : "not written");
        return 130;
    }
    if (!capture_sound(&run, audio, audio_frames)) return 1;
    std::vector<int16_t>().swap(audio);

    if (!open_offscreen()) {
        capture_cleanup(&run);
        return 1;
    }
    if (!run.to_directory &&
        !capture_encoder_start(&run.encoder, run.ffmpeg, run.wav, run.video_tmp, fps, &run.error)) {
        fprintf(stderr, "vlorp: %s\n", run.error.c_str());
        capture_cleanup(&run);
        return 1;
    }

    os_ignore_broken_pipe();
    const int64_t blank_frames = fps;
    const int64_t total_frames = blank_frames + int64_t(SHOW_LENGTH) * fps;
    Progress progress = {os_is_terminal(2), clock_seconds(), 0};
    bool ok = true;
    for (int64_t k = 0; k < total_frames && ok && !interrupted; k++) {
        ok = capture_frame(&run, k, blank_frames);
        capture_progress(&progress, k + 1, total_frames);
    }
    ok = capture_finish(&run, ok);
    return capture_report(&run, ok, progress.terminal, total_frames, started);
}
