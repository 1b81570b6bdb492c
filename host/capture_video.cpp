// The capture's video: ffmpeg, fed raw frames through a pipe, and the copy
// of a finished video into a device or pipe.
#include "host/capture.h"

#include "gfx/gl.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The ffmpeg child that encodes raw RGB frames from a pipe plus the WAV.
bool capture_encoder_start(OsChild* encoder, const std::string& ffmpeg, const std::string& wav,
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

bool capture_copy_file(const std::string& from, const std::string& to, std::string* error) {
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
