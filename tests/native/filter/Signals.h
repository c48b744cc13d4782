// Test signals and the properties the filter tests measure on them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

// Interleaved 16-bit PCM of a sine of `hz` on every channel.
inline std::vector<uint8_t> Sine16(int channels, int rate, double hz, double seconds,
                                   double amplitude = 0.5) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<uint8_t> bytes(frames * channels * 2);
    for (size_t f = 0; f < frames; ++f) {
        const auto v = static_cast<int16_t>(
            std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * f / rate)));
        for (int c = 0; c < channels; ++c)
            std::memcpy(&bytes[(f * channels + c) * 2], &v, 2);
    }
    return bytes;
}

inline std::vector<uint8_t> Noise(size_t n, unsigned seed = 7) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(gen());
    return bytes;
}

// The first channel of interleaved 16-bit PCM.
inline std::vector<int16_t> Channel0(const std::vector<uint8_t>& bytes, int channels) {
    std::vector<int16_t> out(bytes.size() / (2 * channels));
    for (size_t i = 0; i < out.size(); ++i)
        std::memcpy(&out[i], &bytes[i * channels * 2], 2);
    return out;
}

// Sign changes of a signal, ignoring values within +-threshold of zero.
inline size_t ZeroCrossings(const std::vector<int16_t>& s, int threshold = 200) {
    size_t n = 0;
    int last = 0;
    for (int16_t v : s) {
        const int sign = v > threshold ? 1 : (v < -threshold ? -1 : 0);
        if (sign != 0) {
            if (last != 0 && sign != last)
                ++n;
            last = sign;
        }
    }
    return n;
}

// The longest run of samples whose magnitude stays below threshold, in samples.
inline size_t LongestQuietRun(const std::vector<int16_t>& s, int threshold = 1000) {
    size_t best = 0, run = 0;
    for (int16_t v : s) {
        run = (v > -threshold && v < threshold) ? run + 1 : 0;
        best = run > best ? run : best;
    }
    return best;
}
