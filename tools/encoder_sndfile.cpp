// Encoded formats through libsndfile, opened with dlopen the first time one
// is written: linking it would load a dozen codec libraries into every run
// of the program, `--help` and `info` included. Opus takes no 44 100 Hz
// input: libsamplerate (opened the same way) converts to 48 000 Hz for it.
#include "tools/encoder.h"

#include <dlfcn.h>
#include <samplerate.h>
#include <sndfile.h>

#include <cstdlib>
#include <vector>

namespace {

struct FormatCodes {
    int major, subtype;
};

// In the order of ENCODER_FORMATS.
const FormatCodes CODES[] = {
    {SF_FORMAT_FLAC, SF_FORMAT_PCM_16},         {SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III}, {SF_FORMAT_AIFF, SF_FORMAT_PCM_16},
    {SF_FORMAT_CAF, SF_FORMAT_PCM_16},          {SF_FORMAT_W64, SF_FORMAT_PCM_16},
    {SF_FORMAT_AU, SF_FORMAT_PCM_16},           {SF_FORMAT_OGG, SF_FORMAT_OPUS},
};
const int OPUS = 7; // the one format that needs another rate
const int32_t OPUS_RATE = 48000;

struct {
    bool tried;
    void* library;
    decltype(&sf_open_fd) open_fd;
    decltype(&sf_writef_short) writef_short;
    decltype(&sf_close) close;
    decltype(&sf_strerror) strerror;
    decltype(&sf_writef_float) writef_float;
} sndfile;

struct {
    bool tried;
    void* library;
    decltype(&src_new) create;
    decltype(&src_process) process;
    decltype(&src_delete) destroy;
} resampler;

template <typename F> void find(void* library, const char* name, F* call) {
    *call = library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

bool resampler_load(std::string* error) {
    if (!resampler.tried) {
        resampler.tried = true;
        resampler.library = dlopen("libsamplerate.so.0", RTLD_NOW | RTLD_LOCAL);
        find(resampler.library, "src_new", &resampler.create);
        find(resampler.library, "src_process", &resampler.process);
        find(resampler.library, "src_delete", &resampler.destroy);
    }
    if (resampler.create && resampler.process && resampler.destroy) return true;
    *error = "Opus needs libsamplerate, which is not installed (apt-get install libsamplerate0)";
    return false;
}

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
            find(sndfile.library, "sf_writef_float", &sndfile.writef_float);
        }
    }
    if (sndfile.open_fd && sndfile.writef_short && sndfile.close && sndfile.strerror &&
        sndfile.writef_float)
        return true;
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
    {"opus", {".opus", nullptr, nullptr}, "Ogg Opus (resampled to 48 000 Hz)"},
};
const int ENCODER_FORMAT_COUNT = int(sizeof ENCODER_FORMATS / sizeof ENCODER_FORMATS[0]);
static_assert(sizeof CODES / sizeof CODES[0] == sizeof ENCODER_FORMATS / sizeof ENCODER_FORMATS[0]);

struct Encoder {
    SNDFILE* file;
    SRC_STATE* resample; // Opus only
    double ratio;
    std::vector<float> in, out;
};

Encoder* encoder_open(int format, FILE* file, int32_t rate, std::string* error) {
    if (!sndfile_load(error)) return nullptr;
    if (format == OPUS && !resampler_load(error)) return nullptr;
    SF_INFO info = {};
    info.samplerate = format == OPUS ? OPUS_RATE : rate;
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
    Encoder* encoder = new Encoder{sf, nullptr, double(OPUS_RATE) / rate, {}, {}};
    if (format == OPUS) {
        int rc = 0;
        encoder->resample = resampler.create(SRC_SINC_MEDIUM_QUALITY, 2, &rc);
        if (!encoder->resample) {
            sndfile.close(sf);
            delete encoder;
            *error = "the resampler could not start";
            return nullptr;
        }
    }
    return encoder;
}

// Converts `frames` to 48 000 Hz and encodes them; `last` flushes the rest.
static bool encode_resampled(Encoder* e, const int16_t* pcm, int64_t frames, bool last,
                             std::string* error) {
    e->in.resize(size_t(frames) * 2 + 2); // never empty: the flush passes no frames
    for (size_t i = 0; i < size_t(frames) * 2; i++) e->in[i] = float(pcm[i]) / 32768.0f;
    e->out.resize(size_t(double(frames) * e->ratio + 64) * 2);
    SRC_DATA data = {};
    data.data_in = e->in.data();
    data.input_frames = long(frames);
    data.end_of_input = last;
    data.src_ratio = e->ratio;
    do {
        data.data_out = e->out.data();
        data.output_frames = long(e->out.size() / 2);
        if (resampler.process(e->resample, &data) != 0) {
            *error = "the resampler failed";
            return false;
        }
        if (sndfile.writef_float(e->file, e->out.data(), data.output_frames_gen) !=
            data.output_frames_gen) {
            *error = sndfile.strerror(e->file);
            return false;
        }
        data.data_in += data.input_frames_used * 2;
        data.input_frames -= data.input_frames_used;
    } while (data.input_frames > 0 || (last && data.output_frames_gen > 0));
    return true;
}

bool encoder_write(Encoder* encoder, const int16_t* pcm, int64_t frames, std::string* error) {
    if (encoder->resample) return encode_resampled(encoder, pcm, frames, false, error);
    if (sndfile.writef_short(encoder->file, pcm, frames) == frames) return true;
    *error = sndfile.strerror(encoder->file);
    return false;
}

bool encoder_close(Encoder* encoder, std::string* error) {
    bool ok = true;
    if (encoder->resample) {
        ok = encode_resampled(encoder, nullptr, 0, true, error);
        resampler.destroy(encoder->resample);
    }
    const int rc = sndfile.close(encoder->file);
    delete encoder;
    if (rc == 0 || !ok) return ok;
    *error = "the encoder could not finish the file";
    return false;
}
