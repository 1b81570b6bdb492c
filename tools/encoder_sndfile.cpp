// Encoded formats through libsndfile, opened with dlopen the first time one
// is written: linking it would load a dozen codec libraries into every run
// of the program, `--help` and `info` included.
#include "tools/encoder.h"

#include <dlfcn.h>
#include <sndfile.h>

#include <cstdlib>

namespace {

struct FormatCodes {
    int major, subtype;
};

// In the order of ENCODER_FORMATS.
const FormatCodes CODES[] = {
    {SF_FORMAT_FLAC, SF_FORMAT_PCM_16},         {SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III}, {SF_FORMAT_AIFF, SF_FORMAT_PCM_16},
    {SF_FORMAT_CAF, SF_FORMAT_PCM_16},          {SF_FORMAT_W64, SF_FORMAT_PCM_16},
    {SF_FORMAT_AU, SF_FORMAT_PCM_16},
};

struct {
    bool tried;
    void* library;
    decltype(&sf_open_fd) open_fd;
    decltype(&sf_writef_short) writef_short;
    decltype(&sf_close) close;
    decltype(&sf_strerror) strerror;
} sndfile;

bool sndfile_load(std::string* error) {
    if (!sndfile.tried) {
        sndfile.tried = true;
        sndfile.library = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
        if (sndfile.library) {
            sndfile.open_fd =
                reinterpret_cast<decltype(&sf_open_fd)>(dlsym(sndfile.library, "sf_open_fd"));
            sndfile.writef_short = reinterpret_cast<decltype(&sf_writef_short)>(
                dlsym(sndfile.library, "sf_writef_short"));
            sndfile.close =
                reinterpret_cast<decltype(&sf_close)>(dlsym(sndfile.library, "sf_close"));
            sndfile.strerror =
                reinterpret_cast<decltype(&sf_strerror)>(dlsym(sndfile.library, "sf_strerror"));
        }
    }
    if (sndfile.open_fd && sndfile.writef_short && sndfile.close && sndfile.strerror) return true;
    *error = "this format needs libsndfile, which is not installed (apt-get install libsndfile1)";
    return false;
}

} // namespace

const EncoderFormat ENCODER_FORMATS[] = {
    {"flac", {".flac", nullptr, nullptr}, "FLAC (lossless)"},
    {"ogg", {".ogg", ".oga", nullptr}, "Ogg Vorbis"},
    {"mp3", {".mp3", nullptr, nullptr}, "MP3"},
    {"aiff", {".aiff", ".aif", nullptr}, "AIFF"},
    {"caf", {".caf", nullptr, nullptr}, "Core Audio Format"},
    {"w64", {".w64", nullptr, nullptr}, "Wave64"},
    {"au", {".au", nullptr, nullptr}, "Sun/NeXT audio"},
};
const int ENCODER_FORMAT_COUNT = int(sizeof ENCODER_FORMATS / sizeof ENCODER_FORMATS[0]);
static_assert(sizeof CODES / sizeof CODES[0] == sizeof ENCODER_FORMATS / sizeof ENCODER_FORMATS[0]);

struct Encoder {
    SNDFILE* file;
};

Encoder* encoder_open(int format, FILE* file, int32_t rate, std::string* error) {
    if (!sndfile_load(error)) return nullptr;
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = 2;
    info.format = CODES[format].major | CODES[format].subtype;
    // Straight on the descriptor, which the library may also read back and
    // seek in to finish its headers; nothing is buffered in `file` yet.
    fflush(file);
    SNDFILE* sf = sndfile.open_fd(fileno(file), SFM_WRITE, &info, 0);
    if (!sf) {
        *error = sndfile.strerror(nullptr);
        return nullptr;
    }
    Encoder* encoder = static_cast<Encoder*>(calloc(1, sizeof(Encoder)));
    encoder->file = sf;
    return encoder;
}

bool encoder_write(Encoder* encoder, const int16_t* pcm, int64_t frames, std::string* error) {
    if (sndfile.writef_short(encoder->file, pcm, frames) == frames) return true;
    *error = sndfile.strerror(encoder->file);
    return false;
}

bool encoder_close(Encoder* encoder, std::string* error) {
    const int rc = sndfile.close(encoder->file);
    free(encoder);
    if (rc == 0) return true;
    *error = "the encoder could not finish the file";
    return false;
}
