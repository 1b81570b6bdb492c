// Replayer: the two transcendental functions of the voice update, memoised.
// Each entry is the very expression it replaces, worked out the first time
// its argument comes up, so a table hit gives the same bits as the call it
// saves; arguments outside the tables are worked out every time.
#include "music/replayer.h"

#include <cmath>

namespace {

// Linear-frequency arguments (4608 - period + period delta) of real notes
// lie within a few thousand of 0.
constexpr int32_t LINEAR_TABLE_MIN = -8192;
constexpr int32_t LINEAR_TABLE_SIZE = 16384;
constexpr int32_t SINE_TABLE_SIZE = 256;

struct ReplayerTables {
    int32_t linear[LINEAR_TABLE_SIZE];
    uint8_t linear_known[LINEAR_TABLE_SIZE];
    int32_t sine[SINE_TABLE_SIZE];
    uint8_t sine_known[SINE_TABLE_SIZE];
};

ReplayerTables tables;

int32_t linear_frequency_of(int64_t x) {
    return float_to_i32(8363 * std::pow(2.0, double(x) * double(0.0013020834f)));
}

int32_t autovibrato_sine_of(int32_t pos) {
    return float_to_i32(std::sin(pos * double(0.024543688f)) * 64);
}

} // namespace

int32_t replayer_linear_frequency(int64_t x) {
    const int64_t i = x - LINEAR_TABLE_MIN;
    if (i < 0 || i >= LINEAR_TABLE_SIZE) return linear_frequency_of(x);
    if (!tables.linear_known[i]) {
        tables.linear[i] = linear_frequency_of(x);
        tables.linear_known[i] = 1;
    }
    return tables.linear[i];
}

int32_t replayer_autovibrato_sine(int32_t pos) {
    if (pos < 0 || pos >= SINE_TABLE_SIZE) return autovibrato_sine_of(pos);
    if (!tables.sine_known[pos]) {
        tables.sine[pos] = autovibrato_sine_of(pos);
        tables.sine_known[pos] = 1;
    }
    return tables.sine[pos];
}
