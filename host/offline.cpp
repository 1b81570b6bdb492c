// Stills and capture: the show rendered off-screen at exact times, with
// the song position taken from the soundtrack mixed offline. A frame at
// show time t shows the order and row of the block being heard at t, as
// the position queries would report them live. Off-screen rendering
// changes nothing on the desktop, so nothing is torn down at the end: the
// GL driver goes with the process.
#include "host/host.h"
#include "gfx/gl.h"
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
    Song* song = host_load_song();
    std::vector<TimeInfo> positions;
    const int64_t block = t >= 0 ? show_block_at(t) : -1;
    soundtrack_mix(song, int32_t(block + 1), nullptr, &positions);
    if (song) song_free(song);
    if (interrupted) return still_interrupted(png_path);
    if (!open_offscreen()) return 1;
    if (interrupted) return still_interrupted(png_path);

    if (t < 0) {
        host_blank_frame();
    } else {
        show_replay(&show_state, positions.data(), t);
        const TimeInfo& p = positions[size_t(block)];
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

// The ffmpeg child that encodes raw RGB frames from a pipe plus the WAV.
static bool encoder_start(OsChild* encoder, const std::string& ffmpeg, const std::string& wav,
                          const std::string& out, int32_t fps, std::string* error) {
    const std::string size = std::to_string(SCREEN_WIDTH) + "x" + std::to_string(SCREEN_HEIGHT);
    const std::string rate = std::to_string(fps);
    // Bit-exact flags and no metadata keep two captures byte for byte equal.
    std::vector<std::string> args = {ffmpeg,
                                     "-hide_banner",
                                     "-loglevel",
                                     "error",
                                     "-nostdin",
                                     "-y",
                                     "-f",
                                     "rawvideo",
                                     "-pix_fmt",
                                     "rgb24",
                                     "-s",
                                     size,
                                     "-r",
                                     rate,
                                     "-i",
                                     "pipe:0",
                                     "-i",
                                     wav,
                                     "-map",
                                     "0:v",
                                     "-map",
                                     "1:a",
                                     "-c:v",
                                     "libx264",
                                     "-preset",
                                     "medium",
                                     "-crf",
                                     "18",
                                     "-pix_fmt",
                                     "yuv420p",
                                     "-c:a",
                                     "aac",
                                     "-b:a",
                                     "192k",
                                     "-fflags",
                                     "+bitexact",
                                     "-flags:v",
                                     "+bitexact",
                                     "-flags:a",
                                     "+bitexact",
                                     "-map_metadata",
                                     "-1",
                                     "-movflags",
                                     "+faststart",
                                     out};
    return os_spawn_with_input(encoder, args, error);
}

static bool copy_file(const std::string& from, const std::string& to, std::string* error) {
    FILE* in = fopen(from.c_str(), "rb");
    OutFile out{};
    if (!in || !outfile_open(&out, to.c_str(), error)) {
        if (in)
            fclose(in);
        else
            *error = strerror(errno);
        *error = to + ": " + *error;
        return false;
    }
    std::vector<char> buffer(1 << 16);
    size_t n;
    bool ok = true;
    while (ok && (n = fread(buffer.data(), 1, buffer.size(), in)) > 0)
        ok = fwrite(buffer.data(), 1, n, out.file) == n;
    if (ok) ok = !ferror(in);
    if (!ok) *error = to + ": " + strerror(errno ? errno : EIO);
    fclose(in);
    if (ok && !outfile_commit(&out, error)) {
        *error = to + ": " + *error;
        return false;
    }
    if (!ok) outfile_discard(&out);
    return ok;
}

static std::string frame_name(int64_t k) {
    char name[32];
    snprintf(name, sizeof name, "frame%06lld.png", (long long)k);
    return name;
}

// A capture into a folder is made in a temporary folder and put in place
// when complete: a new folder by renaming the temporary one, an existing
// one by moving each finished file into it. Interrupted or failed, the
// temporary folder goes and the target is as it was.
struct FolderCapture {
    std::string target; // ends in a separator
    std::string work;   // the temporary folder, ending in '/'
    bool existed;
    std::vector<std::string> files; // written into work so far
};

static std::string without_separator(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && strchr(OS_PATH_SEPARATORS, p.back())) p.pop_back();
    return p;
}

static bool folder_begin(FolderCapture* c, const std::string& out, std::string* error) {
    c->target = out;
    c->existed = os_is_directory(out.c_str());
    if (c->existed) {
        c->work = out + ".vlorp-partXXXXXX"; // inside: the folder above may be read-only
    } else {
        const std::string base = without_separator(out);
        const size_t slash = base.find_last_of(OS_PATH_SEPARATORS);
        const size_t name = slash == std::string::npos ? 0 : slash + 1;
        c->work = base.substr(0, name) + "." + base.substr(name) + ".partXXXXXX";
    }
    if (!os_make_temp_directory(c->work.data())) {
        *error = out + ": " + strerror(errno);
        return false;
    }
    c->work += '/';
    return true;
}

// An error about a file in the temporary folder, told of the file the user named.
static std::string folder_error(const FolderCapture* c, const std::string& error) {
    if (error.compare(0, c->work.size(), c->work) != 0) return error;
    return c->target + error.substr(c->work.size());
}

static void folder_discard(FolderCapture* c) {
    for (const std::string& name : c->files) remove((c->work + name).c_str());
    os_remove_directory(without_separator(c->work).c_str());
    c->files.clear();
}

static bool folder_commit(FolderCapture* c, std::string* error) {
    const std::string work = without_separator(c->work);
    if (!c->existed && os_rename_directory(work.c_str(), without_separator(c->target).c_str()))
        return true;
    // The folder was there (or has appeared since): the files move in one by one.
    for (const std::string& name : c->files) {
        if (!os_replace_file((c->work + name).c_str(), (c->target + name).c_str())) {
            *error = c->target + name + ": " + strerror(errno);
            folder_discard(c);
            return false;
        }
    }
    os_remove_directory(work.c_str());
    return true;
}

int offline_capture(const char* out_arg, int32_t fps) {
    const double started = clock_seconds();
    std::string out = out_arg;
    const bool to_directory = is_directory_target(out);
    std::string ffmpeg;
    FolderCapture folder = {};
    // Ours before the window system's, and before anything is written.
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    if (to_directory) {
        if (!strchr(OS_PATH_SEPARATORS, out.back())) out += '/';
        std::string error;
        if (!folder_begin(&folder, out, &error)) {
            fprintf(stderr, "vlorp: %s\n", error.c_str());
            return 1;
        }
    } else {
        ffmpeg = os_find_program("ffmpeg");
        if (ffmpeg.empty()) {
            fprintf(stderr,
                    "vlorp: ffmpeg not found; %s or capture PNG frames and a WAV instead: "
                    "vlorp --capture DIR/\n",
                    OS_FFMPEG_HINT);
            return 1;
        }
    }

    // The whole soundtrack first: it also gives every frame its position.
    const int64_t blank_frames = fps;
    const int64_t show_frames = int64_t(SHOW_LENGTH) * fps;
    const int64_t total_frames = blank_frames + show_frames;
    const int64_t song_frames = int64_t(SHOW_LENGTH) * MIX_RATE;
    const int64_t blocks = (song_frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    Song* song = host_load_song();
    std::vector<int16_t> song_pcm;
    std::vector<TimeInfo> positions;
    soundtrack_mix(song, int32_t(blocks), &song_pcm, &positions);
    if (song) song_free(song);

    // One silent second, then the song from its start.
    const int64_t audio_frames = int64_t(BLANK_PHASE) * MIX_RATE + song_frames;
    std::vector<int16_t> audio(size_t(audio_frames) * 2, 0);
    std::copy_n(song_pcm.begin(), size_t(song_frames) * 2,
                audio.begin() + int64_t(BLANK_PHASE) * MIX_RATE * 2);
    std::vector<int16_t>().swap(song_pcm);
    if (interrupted) {
        folder_discard(&folder);
        fprintf(stderr, "vlorp: capture interrupted; %s %s\n", out.c_str(),
                folder.existed ? "is as it was" : "not written");
        return 130;
    }

    // A video's sound waits in a scratch file; a video replaces its target
    // only when complete, unless the target is a device or pipe.
    OutTarget target = {out, false, false};
    std::string error, wav, video_tmp;
    if (!to_directory && !outfile_target(out.c_str(), &target, &error)) {
        fprintf(stderr, "vlorp: %s: %s\n", out.c_str(), error.c_str());
        return 1;
    }
    if (to_directory) {
        wav = folder.work + "soundtrack.wav";
        if (!wav_write_stereo16(wav.c_str(), audio.data(), audio_frames, MIX_RATE, &error)) {
            fprintf(stderr, "vlorp: %s; %s %s\n", folder_error(&folder, error).c_str(), out.c_str(),
                    folder.existed ? "is as it was" : "not written");
            folder_discard(&folder);
            return 1;
        }
        folder.files.push_back("soundtrack.wav");
    } else {
        FILE* file = outfile_scratch(".wav", &wav, &error);
        bool written = file && wav_put_stereo16(file, audio.data(), audio_frames, MIX_RATE);
        if (file && !written) error = wav + ": " + strerror(errno ? errno : EIO);
        if (file && fclose(file) != 0 && written) {
            written = false;
            error = wav + ": " + strerror(errno);
        }
        if (!written) {
            if (file) remove(wav.c_str());
            fprintf(stderr, "vlorp: %s\n", error.c_str());
            return 1;
        }
        // A device or pipe cannot be sought back into: the video is made in a
        // scratch file and copied there when complete.
        if (target.direct) {
            FILE* scratch = outfile_scratch(".mp4", &video_tmp, &error);
            if (!scratch) {
                remove(wav.c_str());
                fprintf(stderr, "vlorp: %s\n", error.c_str());
                return 1;
            }
            fclose(scratch);
        } else {
            video_tmp = partial_path(target.path);
        }
    }
    std::vector<int16_t>().swap(audio);

    auto cleanup = [&]() {
        if (!to_directory) {
            remove(wav.c_str());
            remove(video_tmp.c_str());
        } else {
            folder_discard(&folder);
        }
    };
    if (!open_offscreen()) {
        cleanup();
        return 1;
    }
    OsChild encoder = {0, nullptr};
    if (!to_directory && !encoder_start(&encoder, ffmpeg, wav, video_tmp, fps, &error)) {
        fprintf(stderr, "vlorp: %s\n", error.c_str());
        cleanup();
        return 1;
    }

    os_ignore_broken_pipe();
    Progress progress = {os_is_terminal(2), clock_seconds(), 0};
    const size_t frame_bytes = size_t(SCREEN_WIDTH) * SCREEN_HEIGHT * 3;
    bool ok = true;
    for (int64_t k = 0; k < total_frames && ok && !interrupted; k++) {
        if (k < blank_frames) {
            host_blank_frame();
        } else {
            // Exact frame time; the block index in integers, free of rounding.
            const int64_t n = k - blank_frames;
            const double t = double(n) / fps;
            const TimeInfo& p = positions[size_t(show_block_at_frame(n, fps))];
            show_frame(t, p.order, p.row);
            host_present();
        }
        if (to_directory) {
            const std::string name = frame_name(k);
            ok = png_write_rgb((folder.work + name).c_str(), host_screen_pixels(), SCREEN_WIDTH,
                               SCREEN_HEIGHT, &error);
            if (ok) folder.files.push_back(name);
        } else if (fwrite(host_screen_pixels(), 1, frame_bytes, encoder.input) != frame_bytes) {
            ok = false;
            error = "ffmpeg stopped reading frames";
        }
        capture_progress(&progress, k + 1, total_frames);
    }
    if (!to_directory) {
        const bool encoded = os_child_finish(&encoder);
        if (ok && !interrupted && !encoded) {
            ok = false;
            error = "ffmpeg failed to encode " + out;
        }
        if (ok && !interrupted && target.direct) {
            ok = copy_file(video_tmp, out, &error);
        } else if (ok && !interrupted && !os_replace_file(video_tmp.c_str(), target.path.c_str())) {
            ok = false;
            error = out + ": " + strerror(errno);
        }
        cleanup();
    } else if (ok && !interrupted) {
        ok = folder_commit(&folder, &error);
    } else {
        folder_discard(&folder);
    }
    // What is left: for a folder that was there, exactly what was in it.
    const char* left = folder.existed ? "is as it was" : "not written";
    if (interrupted) {
        if (progress.terminal) fprintf(stderr, "\n");
        fprintf(stderr, "vlorp: capture interrupted; %s %s\n", out.c_str(), left);
        return 130;
    }
    if (!ok) {
        if (progress.terminal) fprintf(stderr, "\n");
        if (to_directory)
            fprintf(stderr, "vlorp: %s; %s %s\n", folder_error(&folder, error).c_str(), out.c_str(),
                    left);
        else
            fprintf(stderr, "vlorp: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "vlorp: wrote %s (%lld frames at %d fps%s) in %.1f s\n", out.c_str(),
            (long long)total_frames, fps, to_directory ? ", soundtrack.wav" : ", with sound",
            clock_seconds() - started);
    return 0;
}
