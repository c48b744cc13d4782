// The input every benchmark runs on: 10 s of a chord with a little noise, 16-bit stereo 44.1 kHz.
#pragma once

#include <benchmark/benchmark.h>

#include "MediaType.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace bench {

constexpr int32_t kRate = 44100;
constexpr int32_t kChannels = 2;
constexpr int32_t kBlockAlign = kChannels * 2;
constexpr int64_t k4096Bytes = 4096;
constexpr int64_t k100msBytes = kRate / 10 * kBlockAlign; // 17640

inline const std::vector<uint8_t>& Input() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(static_cast<size_t>(kRate) * 10 * kBlockAlign);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> noise(-0.02, 0.02);
        const double twoPi = 6.283185307179586;
        for (size_t i = 0; i < b.size() / 2; ++i) {
            const double t = static_cast<double>(i / kChannels) / kRate;
            const double v = 0.3 * std::sin(twoPi * 220 * t) + 0.2 * std::sin(twoPi * 331 * t) +
                             0.1 * std::sin(twoPi * 1250 * t) + noise(rng);
            const auto s = static_cast<int16_t>(std::lround(v * 32767));
            std::memcpy(&b[2 * i], &s, 2);
        }
        return b;
    }();
    return bytes;
}

// Bytes per second, and "audio_s": seconds of input audio per second of run time (how many
// times faster than real time).
inline void Report(benchmark::State& state, int64_t blockBytes) {
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(blockBytes);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["audio_s"] =
        benchmark::Counter(bytes / (kRate * kBlockAlign), benchmark::Counter::kIsRate);
}

// The media type of Input().
inline CMediaType PcmType() {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = bench::kChannels;
    wfx.nSamplesPerSec = bench::kRate;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = bench::kBlockAlign;
    wfx.nAvgBytesPerSec = bench::kRate * bench::kBlockAlign;
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetSampleSize(wfx.nBlockAlign);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
    return mt;
}

} // namespace bench
