// The speed processor's streaming loop against a bare SoundTouch loop doing the same work, at
// tempo 1.5 on 16-bit stereo 44.1 kHz, in 4096-byte blocks and in 100 ms blocks.
// Both use the filter's defaults for that tempo: quick seek, anti-alias filter of 32 taps and
// the "1.6" band's tuning (66, 14, 12 ms). "audio_s" is seconds of input audio per second of
// run time, i.e. how many times faster than real time.
//
// Then the cost per input second at the corners of the speed envelope (BM_EnvelopeCorner:
// tempo and rate in whole percent, pitch in semitones), in 4096-byte blocks (small enough that
// 400 times a block fits the ring) with the filter's defaults, and, for comparison, at three
// combinations outside it (BM_OutsideEnvelope, on a bare engine since the processor refuses
// them). "cpu_per_in_s" is seconds of run time per second of input; "out_per_in" seconds of
// output per second of input.
#include "BenchSignal.h"
#include "SpeedProcessor.h"
#include "StretchTuning.h"
#include "control/Settings.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using bench::Input;
using bench::k100msBytes;
using bench::k4096Bytes;
using bench::kBlockAlign;
using bench::kChannels;
using bench::kRate;
using bench::Report;
constexpr double kTempo = 1.5;

const StretchBand& Band() {
    return SelectStretchBand(kTempo);
}

// The options of a filter whose settings file says nothing, with the band's tuning.
EngineOptions FilterOptions(const StretchBand& band) {
    const InitSettings init;
    return {init.bFast, init.bHighEffect, init.nHighEffectLen, band.tuning};
}

// A bare engine with the filter's defaults (quick seek, anti-alias filter of 32 taps) for
// Input()'s rate and channels. Its speed is set next, then the band's tuning (SetTuning).
void SetFilterDefaults(soundtouch::SoundTouch& st) {
    st.setSetting(SETTING_USE_QUICKSEEK, 1);
    st.setSetting(SETTING_USE_AA_FILTER, 1);
    st.setSetting(SETTING_AA_FILTER_LENGTH, 32);
    st.setSampleRate(kRate);
    st.setChannels(kChannels);
}

void SetTuning(soundtouch::SoundTouch& st, const StretchBand& band) {
    st.setSetting(SETTING_SEQUENCE_MS, band.tuning.sequenceMs);
    st.setSetting(SETTING_SEEKWINDOW_MS, band.tuning.seekWindowMs);
    st.setSetting(SETTING_OVERLAP_MS, band.tuning.overlapMs);
}

// The filter's loop: push one block in, read at most one block out.
void BM_SpeedProcessor(benchmark::State& state) {
    const auto blockBytes = static_cast<int32_t>(state.range(0));
    const std::vector<uint8_t>& in = Input();
    CSpeedProcessor p;
    if (p.Configure({kChannels, kRate, 16, false}, FilterOptions(Band())) != EngineResult::Ok ||
        p.ChangeTempo(SpeedFactorToPercent(kTempo)) != EngineResult::Ok) {
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
    SetFilterDefaults(st);
    st.setTempoChange(SpeedFactorToPercent(kTempo));
    SetTuning(st, Band());
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

void ReportCost(benchmark::State& state, int64_t inBytes, int64_t outBytes) {
    const double inSeconds = static_cast<double>(inBytes) / (kRate * kBlockAlign);
    state.counters["cpu_per_in_s"] =
        benchmark::Counter(inSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["out_per_in"] =
        inBytes > 0 ? static_cast<double>(outBytes) / static_cast<double>(inBytes) : 0.0;
}

// The filter's loop at one speed: a block in, everything ready read out.
void BM_EnvelopeCorner(benchmark::State& state) {
    const auto tempo = static_cast<int32_t>(state.range(0));
    const auto rate = static_cast<int32_t>(state.range(1));
    const auto pitch = static_cast<int32_t>(state.range(2));
    const std::vector<uint8_t>& in = Input();
    const StretchBand& band = SelectStretchBand(1.0 + tempo / 100.0);
    CSpeedProcessor p;
    if (p.Configure({kChannels, kRate, 16, false}, FilterOptions(band)) != EngineResult::Ok ||
        p.ChangeSpeed(tempo, rate, pitch) != EngineResult::Ok) {
        state.SkipWithError("refused");
        return;
    }
    std::vector<uint8_t> out(static_cast<size_t>(k4096Bytes));
    int64_t inBytes = 0, outBytes = 0;
    size_t at = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(k4096Bytes) > in.size()) {
            at = 0;
        }
        p.ProcessInput(in.data() + at, static_cast<int32_t>(k4096Bytes));
        for (int32_t n; (n = p.ReadOutput(out.data(), static_cast<int32_t>(out.size()))) > 0;) {
            outBytes += n;
        }
        at += static_cast<size_t>(k4096Bytes);
        inBytes += k4096Bytes;
    }
    ReportCost(state, inBytes, outBytes);
}

// The same loop on a bare engine, for speeds the processor refuses.
void BM_OutsideEnvelope(benchmark::State& state) {
    const std::vector<uint8_t>& in = Input();
    const int32_t frames = static_cast<int32_t>(k4096Bytes) / kBlockAlign;
    soundtouch::SoundTouch st;
    SetFilterDefaults(st);
    st.setTempoChange(static_cast<double>(state.range(0)));
    st.setRateChange(static_cast<double>(state.range(1)));
    st.setPitchSemiTones(static_cast<int>(state.range(2)));
    SetTuning(st, SelectStretchBand(1.0 + static_cast<double>(state.range(0)) / 100.0));
    std::vector<float> floats(static_cast<size_t>(frames) * kChannels);
    std::vector<float> received(floats.size());
    int64_t inBytes = 0, outBytes = 0;
    size_t at = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(k4096Bytes) > in.size()) {
            at = 0;
        }
        for (size_t i = 0; i < floats.size(); ++i) {
            int16_t v;
            std::memcpy(&v, in.data() + at + 2 * i, 2);
            floats[i] = static_cast<float>(v) * (1.0f / 32768.0f);
        }
        st.putSamples(floats.data(), static_cast<unsigned>(frames));
        const auto capacity = static_cast<unsigned>(frames);
        for (unsigned got; (got = st.receiveSamples(received.data(), capacity)) > 0;) {
            outBytes += static_cast<int64_t>(got) * kBlockAlign;
        }
        at += static_cast<size_t>(k4096Bytes);
        inBytes += k4096Bytes;
    }
    ReportCost(state, inBytes, outBytes);
}

BENCHMARK(BM_SpeedProcessor)->ArgName("block_bytes")->Arg(k4096Bytes)->Arg(k100msBytes);
BENCHMARK(BM_BareSoundTouch)->ArgName("block_bytes")->Arg(k4096Bytes)->Arg(k100msBytes);

// The corners: each value alone at its ends, tempo with rate at pitch 0, and the edges the
// pitch draws at +-60 semitones (effective tempo or rate at 1/50 or 50).
BENCHMARK(BM_EnvelopeCorner)
    ->ArgNames({"tempo", "rate", "pitch"})
    ->Args({50, 0, 0})
    ->Args({-95, 0, 0})
    ->Args({4900, 0, 0})
    ->Args({0, -95, 0})
    ->Args({0, 4900, 0})
    ->Args({0, 0, 60})
    ->Args({0, 0, -60})
    ->Args({-95, -95, 0})
    ->Args({4900, 4900, 0})
    ->Args({-95, 4900, 0})
    ->Args({4900, -95, 0})
    ->Args({-36, -95, 60})
    ->Args({-36, 56, 60})
    ->Args({4900, -95, 60})
    ->Args({4900, 56, 60})
    ->Args({-95, -36, -60})
    ->Args({-95, 4900, -60})
    ->Args({56, -36, -60})
    ->Args({56, 4900, -60})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OutsideEnvelope)
    ->ArgNames({"tempo", "rate", "pitch"})
    ->Args({-95, 0, 60})
    ->Args({4900, 4900, -60})
    ->Args({0, -95, -60})
    ->Unit(benchmark::kMillisecond);

} // namespace
