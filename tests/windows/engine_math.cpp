// The C library's transcendental functions differ between platforms in the
// last bit (mingw-w64's pow is not glibc's). The engine truncates what they
// give, so only the truncated values matter: this prints a digest of them
// over every input the engine can pass, for the Windows stage to compare
// between the two builds. The expressions are those of replayer_voice.cpp
// (instrument vibrato's sine, Amiga note periods, linear frequencies) and
// of the mixer's rounding to 16 bits.
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

int32_t float_to_i32(double x) {
    return x >= -2147483648.0 && x < 2147483648.0 ? int32_t(x) : INT32_MIN;
}

struct Digest {
    uint64_t hash = 1469598103934665603ull; // FNV-1a
    int64_t count = 0;
    void add(int64_t value) {
        for (int i = 0; i < 8; i++) {
            hash ^= uint8_t(uint64_t(value) >> (8 * i));
            hash *= 1099511628211ull;
        }
        count++;
    }
};

// Keeps the compiler from folding the loops into constants at build time.
template <class T> T opaque(T value) {
    volatile T copy = value;
    return copy;
}

void print(const char* name, const Digest& d) {
    printf("%s %lld %016llx\n", name, (long long)d.count, (unsigned long long)d.hash);
}

} // namespace

int main() {
    Digest sine, amiga, linear, rounding;
    // Vibrato positions wrap into 0..255; a negative one is harmless to include.
    for (int32_t pos = -256; pos < 512; pos++)
        sine.add(float_to_i32(std::sin(opaque(pos) * double(0.024543688f)) * 64));
    // Every note an instrument can map, with room either side.
    for (int32_t k = -512; k < 512; k++)
        amiga.add(float_to_i32(13.375 * std::pow(2.0, (132 - opaque(k)) * double(0.083333336f))));
    // 4608 - period + delta: beyond this range the frequency is 0 or does not fit.
    for (int32_t n = -100000; n <= 100000; n++)
        linear.add(float_to_i32(8363 * std::pow(2.0, opaque(n) * double(0.0013020834f))));
    // Every float the mixer can round to a 16-bit sample, in quarter steps,
    // and the halves between integers (ties go to even).
    for (int32_t q = -32768 * 4; q <= 32767 * 4; q++) {
        const float x = opaque(float(q) * 0.25f);
        rounding.add(std::lrint(x));
        rounding.add(int64_t(std::nearbyint(double(x) + 0.5)));
    }
    print("sine", sine);
    print("amiga_period", amiga);
    print("linear_frequency", linear);
    print("rounding", rounding);
    return 0;
}
