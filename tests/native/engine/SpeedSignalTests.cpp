#include "EngineTestUtil.h"
#include "SampleConvert.h"
#include "SpeedProcessor.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <limits>

using namespace enginetest;

namespace {

// Runs work() in a child process under a watchdog of the given seconds: an engine that loops
// for ever fails the test (the child dies of SIGALRM) instead of hanging the suite. work
// returns true when all went well; it may print what did not to stderr.
template <class Work> void ExpectFinishes(unsigned seconds, Work work) {
    EXPECT_EXIT(
        {
            alarm(seconds);
            std::_Exit(work() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Frames out of 10 s of tone, at 44.1 kHz stereo 16-bit in 4096-byte blocks.
size_t FramesOut(int32_t tempo, int32_t rate, bool drain = true) {
    CSpeedProcessor p;
    EXPECT_TRUE(ConfigureDefault(p));
    EXPECT_EQ(p.ChangeTempo(tempo), EngineResult::Ok);
    EXPECT_EQ(p.ChangeRate(rate), EngineResult::Ok);
    return Stream(p, Sine16(kRate * 10), 4096, -1, drain).size() / 4;
}

TEST(SpeedSignal, TempoAndRateScaleTheLength) {
    const double in = kRate * 10.0;
    EXPECT_NEAR(static_cast<double>(FramesOut(100, 0)), in / 2, 10);
    // Without Drain the engine's latency (tens of ms) is missing.
    EXPECT_LT(static_cast<double>(FramesOut(100, 0, false)), in / 2 - 0.02 * kRate);
    EXPECT_NEAR(static_cast<double>(FramesOut(-50, 0)), in * 2, 10);
    EXPECT_NEAR(static_cast<double>(FramesOut(0, 100)), in / 2, 10);
    EXPECT_NEAR(static_cast<double>(FramesOut(50, -20)), in / 1.2, 10);
}

TEST(SpeedSignal, TwelveSemitonesUpDoublesTheZeroCrossings) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p, 1));
    ASSERT_EQ(p.ChangePitchSemiTones(12), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate * 4, 1);
    const std::vector<int16_t> out = AsInt16(Stream(p, in, 4096));
    EXPECT_NEAR(static_cast<double>(out.size()), kRate * 4.0, 10); // tempo kept
    const size_t from = kRate / 2, to = out.size() - kRate / 2;
    const double perSecondIn = 2 * 441.0;
    const double perSecondOut = ZeroCrossings(out, 1, from, to) * double(kRate) / double(to - from);
    EXPECT_NEAR(perSecondOut / perSecondIn, 2.0, 0.02);
}

// Each sample width goes through the engine in its own format: three channels, the tone on the
// second only, at tempo 2.0; the output is half as long with the tone where it was.
TEST(SpeedSignal, EveryWidthStretchesInItsOwnFormat) {
    const struct {
        uint16_t bits;
        bool isFloat;
    } formats[] = {{8, false}, {16, false}, {24, false}, {32, false}, {32, true}};
    constexpr int32_t channels = 3, frames = kRate * 2;
    std::vector<float> tone(static_cast<size_t>(frames) * channels, 0.0f);
    for (int32_t f = 0; f < frames; ++f) {
        tone[static_cast<size_t>(f) * channels + 1] =
            static_cast<float>(0.5 * std::sin(2.0 * kPi * 441.0 * f / kRate));
    }
    for (const auto& format : formats) {
        const SampleConverter& c = *FindSampleConverter(format.bits, format.isFloat);
        std::vector<uint8_t> in(tone.size() * static_cast<size_t>(c.bytesPerSample));
        c.fromFloat(tone.data(), in.data(), static_cast<int32_t>(tone.size()));
        CSpeedProcessor p;
        ASSERT_TRUE(ConfigureDefault(p, channels, kRate, format.bits, format.isFloat));
        ASSERT_EQ(p.ChangeTempo(100), EngineResult::Ok);
        const std::vector<uint8_t> out = Stream(p, in, p.BlockAlign() * 1000);
        std::vector<float> back(out.size() / static_cast<size_t>(c.bytesPerSample));
        c.toFloat(out.data(), back.data(), static_cast<int32_t>(back.size()));
        EXPECT_NEAR(static_cast<double>(back.size() / channels), frames / 2.0, 10) << format.bits;
        float peak[channels] = {};
        for (size_t i = 0; i < back.size(); ++i) {
            peak[i % channels] = std::max(peak[i % channels], std::fabs(back[i]));
        }
        EXPECT_LT(peak[0], 0.01f) << format.bits;
        EXPECT_NEAR(peak[1], 0.5f, 0.05f) << format.bits;
        EXPECT_LT(peak[2], 0.01f) << format.bits;
    }
}

// Every combination of the range ends inside the speed envelope runs without failure, and the
// others are refused; integer output is in range by construction, so the float format shows
// NaN, infinity or runaway values.
TEST(SpeedSignal, RangeEndsRunCleanly) {
    constexpr int32_t rate = 8000;
    std::vector<float> tone(static_cast<size_t>(rate) / 2 * 2);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<float>(0.9 * std::sin(2.0 * kPi * 300.0 * double(i / 2) / rate));
    }
    std::vector<uint8_t> in(tone.size() * 4);
    std::memcpy(in.data(), tone.data(), in.size());
    for (int32_t tempo : {-95, 0, 4900}) {
        for (int32_t rateChange : {-95, 0, 4900}) {
            for (int32_t pitch : {-60, 0, 60}) {
                // The stretch and the resampling each within a factor of 50 either way.
                const double shift = std::pow(2.0, pitch / 12.0);
                const double stretch = (1 + tempo / 100.0) / shift;
                const double resample = (1 + rateChange / 100.0) * shift;
                const bool inside =
                    stretch >= 0.02 && stretch <= 50 && resample >= 0.02 && resample <= 50;
                CSpeedProcessor p;
                ASSERT_TRUE(ConfigureDefault(p, 2, rate, 32, true));
                ASSERT_EQ(p.ChangeSpeed(tempo, rateChange, pitch) == EngineResult::Ok, inside)
                    << tempo << " " << rateChange << " " << pitch;
                if (!inside) {
                    EXPECT_FALSE(p.IsActive()) << "nothing stored";
                    continue;
                }
                const std::vector<uint8_t> out = Stream(p, in, 3200, 0); // read after Drain
                std::vector<float> f(out.size() / 4);
                if (!f.empty()) {
                    std::memcpy(f.data(), out.data(), out.size());
                }
                for (float x : f) {
                    ASSERT_TRUE(std::isfinite(x) && std::fabs(x) < 4.0f)
                        << tempo << " " << rateChange << " " << pitch << " " << x;
                }
                if (tempo == -95 && rateChange == -95) { // 200 s of output, bounded
                    EXPECT_EQ(f.size(), size_t(CSpeedProcessor::kRingSeconds) * rate * 2);
                }
            }
        }
    }
}

// Changes while a tone streams through in 100 ms blocks, read like the filter reads (at most
// one block's bytes per block), insert no silence: the engine is not flushed.
TEST(SpeedSignal, SpeedChangesInsertNoSilence) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    const int32_t block = kRate / 10 * 4;
    const std::vector<uint8_t> in = Sine16(kRate * 12);
    struct Change {
        int32_t tempo, rate, pitch;
    } const changes[] = {{50, 0, 0},   {-20, 0, 0}, {-20, 10, 0}, {-20, 10, 3},
                         {100, 0, -5}, {0, 0, 2},   {0, -30, 0},  {15, 0, 0}};
    std::vector<uint8_t> out;
    std::vector<int32_t> emptyReads;
    for (int32_t i = 0; i * block < static_cast<int32_t>(in.size()); ++i) {
        if (i % 15 == 0) {
            const Change& c = changes[(i / 15) % std::size(changes)];
            const StretchBand& band = SelectStretchBand(1.0 + c.tempo / 100.0);
            // The order the filter applies a change in.
            p.ChangeTempo(c.tempo);
            p.ChangeRate(c.rate);
            p.ChangePitchSemiTones(c.pitch);
            p.ChangeTuning(band.tuning);
        }
        p.ProcessInput(in.data() + static_cast<size_t>(i) * block, block);
        const size_t n = out.size();
        out.resize(n + static_cast<size_t>(block));
        const int32_t got = p.ReadOutput(out.data() + n, block);
        out.resize(n + static_cast<size_t>(got));
        if (got == 0 && i > 2) {
            emptyReads.push_back(i);
        }
    }
    EXPECT_TRUE(emptyReads.empty()) << "first empty read at block " << emptyReads.front();
    const std::vector<int16_t> s = AsInt16(out);
    size_t run = 0, longest = 0;
    for (size_t f = 0; f < s.size() / 2; ++f) {
        run = std::abs(static_cast<int32_t>(s[2 * f])) < 300 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_LT(longest, static_cast<size_t>(kRate / 20)) << "quiet frames in a row";
}

} // namespace

namespace {

// Sixteen channels, the engine's most, with the anti-alias filter asked for (the engine's own
// filter would abort the process on them): every kind of speed change runs and scales the length.
TEST(SpeedSignal, SixteenChannelsRunAtEveryKindOfSpeed) {
    constexpr int32_t channels = CSpeedProcessor::kMaxChannels;
    const std::vector<uint8_t> in = Sine16(kRate, channels);
    const struct {
        int32_t tempo, rate, pitch;
        double lengthFactor;
    } speeds[] = {{100, 0, 0, 0.5}, {0, 100, 0, 0.5}, {0, 0, 7, 1.0}, {-50, 20, -3, 1 / 0.6}};
    for (const auto& s : speeds) {
        CSpeedProcessor p;
        ASSERT_TRUE(ConfigureDefault(p, channels));
        ASSERT_EQ(p.ChangeSetting(SETTING_USE_AA_FILTER, 1), EngineResult::Ok);
        ASSERT_EQ(p.ChangeSpeed(s.tempo, s.rate, s.pitch), EngineResult::Ok);
        const std::vector<uint8_t> out = Stream(p, in, p.BlockAlign() * 1000);
        EXPECT_NEAR(static_cast<double>(out.size() / p.BlockAlign()), kRate * s.lengthFactor,
                    0.01 * kRate)
            << s.tempo << " " << s.rate << " " << s.pitch;
    }
}

// From the sample-rate floor up the engine finishes every call, across the speed envelope's
// corners, both seek modes, with and without the anti-alias filter, and the tuning's extremes
// (1 ms is the shortest seek window; 0 lets the engine choose). Blocks of 8 frames make the
// input the engine holds pass through the counts at which, below the floor, it would loop.
TEST(SpeedSignal, EngineFinishesFromTheSampleRateFloorUp) {
    EXPECT_FALSE(
        CSpeedProcessor::SupportsFormat(2, CSpeedProcessor::kMinSampleRate - 1, 16, false));
    ExpectFinishes(120, [] {
        const struct {
            int32_t sequence, seekWindow, overlap;
        } tunings[] = {{82, 14, 12}, {0, 0, 0}, {1, 1, 1}, {1000, 1000, 1000}, {1000, 1, 1}};
        const struct {
            int32_t tempo, rate, pitch;
        } speeds[] = {{-95, 0, 0},    {4900, 0, 0},   {0, -95, 0},    {0, 4900, 0},
                      {-36, -95, 60}, {4900, 56, 60}, {56, -36, -60}, {-95, 4900, -60}};
        bool ok = true;
        for (int32_t rate :
             {CSpeedProcessor::kMinSampleRate, CSpeedProcessor::kMinSampleRate + 1}) {
            // Five seconds of input; a minute where the stretch runs fast, so that even at 50
            // with the longest tuning (50 s of input per step) it completes steps.
            const std::vector<uint8_t> shortIn = Sine16(rate * 5, 2, 50.0, rate);
            const std::vector<uint8_t> longIn = Sine16(rate * 60, 2, 50.0, rate);
            for (bool quickSeek : {true, false}) {
                for (bool antiAlias : {true, false}) {
                    for (const auto& t : tunings) {
                        for (const auto& s : speeds) {
                            CSpeedProcessor p;
                            const EngineOptions options{
                                quickSeek, antiAlias, 32, {t.sequence, t.seekWindow, t.overlap}};
                            const bool run =
                                p.Configure({2, rate, 16, false}, options) == EngineResult::Ok &&
                                p.ChangeSpeed(s.tempo, s.rate, s.pitch) == EngineResult::Ok;
                            const double stretch =
                                (1 + s.tempo / 100.0) / std::pow(2.0, s.pitch / 12.0);
                            const size_t frames =
                                Stream(p, stretch > 10 ? longIn : shortIn, 8 * 4).size() / 4;
                            if (!run || frames == 0) {
                                std::fprintf(stderr, "%d Hz %d %d %d,%d,%d %d,%d,%d: %zu\n", rate,
                                             quickSeek, antiAlias, t.sequence, t.seekWindow,
                                             t.overlap, s.tempo, s.rate, s.pitch, frames);
                                ok = false;
                            }
                        }
                    }
                }
            }
        }
        return ok;
    });
}

// Float samples the splice search cannot compare (NaN, infinities, magnitudes whose squares
// overflow) reach the engine as 0 or clamped: with a seek window of a few samples they would
// otherwise make it loop for ever. The output stays finite.
TEST(SpeedSignal, NonFiniteFloatInputCannotStallTheEngine) {
    ExpectFinishes(30, [] {
        constexpr int32_t rate = 4000; // with a 1 ms seek window: four candidate offsets
        std::vector<float> samples(static_cast<size_t>(rate) * 10 * 2);
        const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), -3e38f};
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = i % 7 == 0 ? odd[(i / 7) % 3]
                                    : static_cast<float>(0.5 * std::sin(0.05 * double(i / 2)));
        }
        std::vector<uint8_t> in(samples.size() * 4);
        std::memcpy(in.data(), samples.data(), in.size());
        CSpeedProcessor p;
        if (p.Configure({2, rate, 32, true}, DefaultOptions({82, 1, 12})) != EngineResult::Ok ||
            p.ChangeTempo(-50) != EngineResult::Ok) {
            return false;
        }
        // One frame at a time, so that the input the engine holds passes through every count,
        // among them those at which a splice search that found nothing never moves on.
        const std::vector<uint8_t> out = Stream(p, in, p.BlockAlign());
        std::vector<float> f(out.size() / 4);
        std::memcpy(f.data(), out.data(), f.size() * 4);
        for (float x : f) {
            if (!std::isfinite(x) || std::fabs(x) > 4 * CSpeedProcessor::kMaxFloatInput) {
                std::fprintf(stderr, "output sample %g\n", static_cast<double>(x));
                return false;
            }
        }
        return f.size() > static_cast<size_t>(rate) * 15;
    });
}

} // namespace
