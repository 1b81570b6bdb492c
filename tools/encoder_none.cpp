// No encoder library on this platform: WAV and raw PCM only.
#include "tools/encoder.h"

const EncoderFormat ENCODER_FORMATS[] = {{"", {nullptr, nullptr, nullptr}, ""}};
const int ENCODER_FORMAT_COUNT = 0;

Encoder* encoder_open(int, FILE*, int32_t, std::string* error) {
    *error = "no encoder in this build";
    return nullptr;
}

bool encoder_write(Encoder*, const int16_t*, int64_t, std::string* error) {
    *error = "no encoder in this build";
    return false;
}

bool encoder_close(Encoder*, std::string*) {
    return true;
}
