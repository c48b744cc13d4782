#pragma once

#include "SpeedProcessor.h"
#include "control/Settings.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace enginetest {

constexpr int32_t kRate = 44100;
constexpr double kPi = 3.14159265358979323846;

// Interleaved 16-bit sine: channel 0 carries the tone, the others carry it times otherGain.
inline std::vector<uint8_t> Sine16(int32_t frames, int32_t channels = 2, double hz = 441.0,
                                   int32_t rate = kRate, double otherGain = 1.0) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * channels * 2);
    for (int32_t f = 0; f < frames; ++f) {
        const double v = 0.5 * std::sin(2.0 * kPi * hz * f / rate);
        for (int32_t c = 0; c < channels; ++c) {
            const auto s = static_cast<int16_t>(std::lround((c == 0 ? v : v * otherGain) * 32767));
            std::memcpy(&bytes[(static_cast<size_t>(f) * channels + c) * 2], &s, 2);
        }
    }
    return bytes;
}

inline std::vector<int16_t> AsInt16(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// The options a filter runs with when the settings file says nothing.
inline EngineOptions DefaultOptions(StretchTuning tuning = kDefaultStretchTuning) {
    const InitSettings init;
    return {init.bFast, init.bHighEffect, init.nHighEffectLen, tuning};
}

// Configures with the filter's defaults: quick seek, anti-alias filter of 32 taps, 82/14/12 ms.
inline bool ConfigureDefault(CSpeedProcessor& p, int32_t channels = 2, int32_t rate = kRate,
                             uint16_t bits = 16, bool floatSamples = false) {
    return p.Configure({channels, rate, bits, floatSamples}, DefaultOptions()) == EngineResult::Ok;
}

// Pushes input through in blocks of blockBytes, reading up to readBytes after each block (all
// that is held when readBytes < 0), then optionally drains. Returns everything read.
inline std::vector<uint8_t> Stream(CSpeedProcessor& p, const std::vector<uint8_t>& input,
                                   int32_t blockBytes, int32_t readBytes = -1, bool drain = true) {
    std::vector<uint8_t> out;
    auto read = [&](int32_t limit) {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(limit));
        out.resize(at + static_cast<size_t>(p.ReadOutput(out.data() + at, limit)));
    };
    for (size_t at = 0; at < input.size(); at += static_cast<size_t>(blockBytes)) {
        const auto n = static_cast<int32_t>(std::min(input.size() - at, size_t(blockBytes)));
        p.ProcessInput(input.data() + at, n);
        read(readBytes < 0 ? p.BufferedBytes() : readBytes);
    }
    if (drain) {
        p.Drain();
        read(p.BufferedBytes());
    }
    return out;
}

// Sign changes of one channel over frames [from, to).
inline int32_t ZeroCrossings(const std::vector<int16_t>& s, int32_t channels, size_t from,
                             size_t to) {
    int32_t n = 0;
    for (size_t f = from + 1; f < to; ++f) {
        n += (s[(f - 1) * channels] < 0) != (s[f * channels] < 0) ? 1 : 0;
    }
    return n;
}

} // namespace enginetest
