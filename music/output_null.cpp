// Builds without an audio library: no device opens, so playback reports
// failure and offline rendering still works.
#include "music/output_device.h"

namespace {
bool null_open() {
    return false;
}
const char* null_error() {
    return "built without audio output";
}
const OutputDevice NULL_DEVICE = {null_open, nullptr, nullptr,    nullptr,
                                  nullptr,   nullptr, null_error, nullptr};
} // namespace

const OutputDevice* output_platform_device() {
    return &NULL_DEVICE;
}
