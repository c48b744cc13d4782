// The speed processor's streaming loop against a bare SoundTouch loop doing the same work, at
// tempo 1.5 on 16-bit stereo 44.1 kHz, in 4096-byte blocks and in 100 ms blocks.
// Both use the filter's defaults for that tempo: quick seek, anti-alias filter of 32 taps and
// the "1.6" band's tuning (66, 14, 12 ms). "audio_s" is seconds of input audio per second of
// run time, i.e. how many times faster than real time.
#include "BenchSignal.h"
#include "SpeedProcessor.h"
#include "StretchTuning.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using bench::kBlockAlign;
using bench::kChannels;
using bench::kRate;
using bench::Input;
using bench::Report;
using bench::k100msBytes;
using bench::k4096Bytes;
constexpr double kTempo = 1.5;

const StretchBand& Band() {
    return SelectStretchBand(kTempo);
}

// The filter's loop: push one block in, read at most one block out.
void BM_SpeedProcessor(benchmark::State& state) {
    const auto blockBytes = static_cast<int32_t>(state.range(0));
    const std::vector<uint8_t>& in = Input();
    CSpeedProcessor p;
    if (!p.Configure(kChannels, kRate, 16, true, true, 32, Band().sequenceMs, Band().seekWindowMs,
                     Band().overlapMs) ||
        !p.ChangeTempo(SpeedFactorToPercent(kTempo))) {
        state.SkipWithError("configure failed");
        return;
    }
    std::vector<uint8_t> out(static_cast<size_t>(blockBytes));
    size_t at = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(blockBytes) > in.size()) {
            at = 0;
        }
        p.ProcessInput(in.data() + at, blockBytes);
        benchmark::DoNotOptimize(p.ReadOutput(out.data(), blockBytes));
        at += static_cast<size_t>(blockBytes);
    }
    Report(state, blockBytes);
}

// The baseline: SoundTouch with the same settings, fed and emptied directly, with its own
// int16 <-> float conversion and no ring.
void BM_BareSoundTouch(benchmark::State& state) {
    const auto blockBytes = static_cast<int32_t>(state.range(0));
    const int32_t frames = blockBytes / kBlockAlign;
    const std::vector<uint8_t>& in = Input();
    soundtouch::SoundTouch st;
    st.setSetting(SETTING_USE_QUICKSEEK, 1);
    st.setSetting(SETTING_USE_AA_FILTER, 1);
    st.setSetting(SETTING_AA_FILTER_LENGTH, 32);
    st.setSampleRate(kRate);
    st.setChannels(kChannels);
    st.setTempoChange(SpeedFactorToPercent(kTempo));
    st.setSetting(SETTING_SEQUENCE_MS, Band().sequenceMs);
    st.setSetting(SETTING_SEEKWINDOW_MS, Band().seekWindowMs);
    st.setSetting(SETTING_OVERLAP_MS, Band().overlapMs);
    std::vector<int16_t> samples(static_cast<size_t>(frames) * kChannels);
    std::vector<float> floats(samples.size());
    std::vector<float> received(samples.size());
    std::vector<int16_t> out(samples.size());
    size_t at = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(blockBytes) > in.size()) {
            at = 0;
        }
        std::memcpy(samples.data(), in.data() + at, samples.size() * 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            floats[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
        }
        st.putSamples(floats.data(), static_cast<unsigned>(frames));
        while (st.numSamples() > 0) {
            const unsigned got = st.receiveSamples(received.data(), static_cast<unsigned>(frames));
            for (size_t i = 0; i < static_cast<size_t>(got) * kChannels; ++i) {
                const float x = std::clamp(received[i] * 32768.0f, -32768.0f, 32767.0f);
                out[i] = static_cast<int16_t>(x);
            }
            benchmark::DoNotOptimize(out.data());
        }
        at += static_cast<size_t>(blockBytes);
    }
    Report(state, blockBytes);
}


BENCHMARK(BM_SpeedProcessor)->ArgName("block_bytes")->Arg(k4096Bytes)->Arg(k100msBytes);
BENCHMARK(BM_BareSoundTouch)->ArgName("block_bytes")->Arg(k4096Bytes)->Arg(k100msBytes);

} // namespace
