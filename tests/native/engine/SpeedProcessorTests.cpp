#include "EngineTestUtil.h"
#include "SpeedProcessor.h"

#include <gtest/gtest.h>

#include <set>

using namespace enginetest;

namespace {

TEST(SpeedProcessor, RefusesFormatsTheEngineCannotTake) {
    const struct {
        int32_t channels, rate;
        uint16_t bits;
        bool isFloat;
    } refused[] = {{0, kRate, 16, false},  {17, kRate, 16, false}, {-2, kRate, 16, false},
                   {2, 0, 16, false},      {2, 999, 16, false},    {1, 70, 8, false},
                   {2, 192001, 16, false}, {2, kRate, 12, false},  {2, kRate, 16, true},
                   {2, kRate, 0, false}};
    CSpeedProcessor p;
    for (const auto& f : refused) {
        EXPECT_FALSE(CSpeedProcessor::SupportsFormat(f.channels, f.rate, f.bits, f.isFloat));
        ASSERT_TRUE(ConfigureDefault(p)); // a configured processor is Free'd by the failure
        EXPECT_FALSE(ConfigureDefault(p, f.channels, f.rate, f.bits, f.isFloat));
        EXPECT_EQ(p.m_nChannels, 0);
        EXPECT_EQ(p.BlockAlign(), 0);
        EXPECT_FALSE(p.ChangeTempo(50));
        const uint8_t block[64] = {};
        EXPECT_FALSE(p.ProcessInput(block, sizeof block));
    }
    EXPECT_TRUE(ConfigureDefault(p, 16, 192000, 32, true));
    EXPECT_EQ(p.BlockAlign(), 64);
    EXPECT_TRUE(p.m_bFloat);
    EXPECT_TRUE(ConfigureDefault(p, 1, 8000, 8));
    EXPECT_EQ(p.BlockAlign(), 1);
    EXPECT_TRUE(ConfigureDefault(p, 2, CSpeedProcessor::kMinSampleRate, 16));
    EXPECT_EQ(CSpeedProcessor::kMinSampleRate, 1000);
    EXPECT_TRUE(ConfigureDefault(p, 6, 48000, 24));
    EXPECT_EQ(p.BlockAlign(), 18);
    EXPECT_EQ(p.m_wBitsPerSample, 24);
    EXPECT_FALSE(p.m_bFloat);
}

// Effective tempo T = tempo / 2^(pitch/12) and rate R = rate x 2^(pitch/12) each within 1/50..50,
// to the percent at whole octaves; every single value and any tempo with any rate at pitch 0
// inside.
TEST(SpeedProcessor, SpeedEnvelopeBoundsTheCombination) {
    const struct {
        int32_t tempo, rate, pitch;
        bool inside;
    } cases[] = {
        {-95, 0, 0, true},     {4900, 0, 0, true},     {0, -95, 0, true},
        {0, 4900, 0, true},    {0, 0, 60, true},       {0, 0, -60, true},
        {-95, -95, 0, true},   {4900, 4900, 0, true},  {-95, 4900, 0, true},
        {-98, 0, 0, true},     {-99, 0, 0, false},     {-36, 0, 60, true},
        {-37, 0, 60, false},   {0, 56, 60, true},      {0, 57, 60, false},
        {56, 0, -60, true},    {57, 0, -60, false},    {0, -36, -60, true},
        {0, -37, -60, false},  {-96, 0, 12, true},     {0, 2400, 12, true},
        {0, 2401, 12, false},  {-95, 0, 60, false},    {4900, 4900, -60, false},
        {0, -95, -60, false},  {-95, -95, -60, false}, {0, 0, 61, false},
        {-100, 0, -60, false}, {-95, 0, 59, false}, // 0.05 / 2^(59/12) = 0.0017
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSpeedProcessor::IsInSpeedEnvelope(c.tempo, c.rate, c.pitch), c.inside)
            << c.tempo << " " << c.rate << " " << c.pitch;
    }
}

// A change that would leave the envelope beside the stored values is refused and stores
// nothing; ChangeSpeed moves between corners no order of single changes connects.
TEST(SpeedProcessor, ChangesStayInsideTheSpeedEnvelope) {
    const std::vector<uint8_t> in = Sine16(kRate * 2);
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangePitchSemiTones(60));
    EXPECT_FALSE(p.ChangeTempo(-95)); // 0.05 / 32: the stretch would make 640 times the input
    EXPECT_FALSE(p.ChangeRate(57));
    ASSERT_TRUE(p.ChangeRate(56));
    ASSERT_TRUE(p.ChangeRate(0));
    // The refused tempo was not stored: two seconds in give two seconds out.
    EXPECT_NEAR(static_cast<double>(Stream(p, in, 4096).size() / 4), kRate * 2.0, 0.01 * kRate);

    ASSERT_TRUE(p.ChangeTempo(4900));
    EXPECT_FALSE(p.ChangePitchSemiTones(-60)); // 50 x 32 = 1600
    EXPECT_FALSE(p.ChangeTempo(-95));
    EXPECT_FALSE(p.ChangeSpeed(-95, 0, 60));
    ASSERT_TRUE(p.ChangeSpeed(-95, 0, -60));
    EXPECT_FALSE(p.ChangeSpeed(4900, 4900, -60));
    // Tempo 0.05: twenty times as long (the stretch runs at 1.6, the resampling at 1/32).
    EXPECT_NEAR(static_cast<double>(Stream(p, in, 4096).size() / 4), kRate * 40.0, 0.01 * kRate);
}

TEST(SpeedProcessor, UnconfiguredProcessorDoesNothing) {
    CSpeedProcessor p;
    EXPECT_FALSE(p.ChangeTempo(50));
    EXPECT_FALSE(p.ChangeRate(50));
    EXPECT_FALSE(p.ChangePitchSemiTones(3));
    EXPECT_FALSE(p.ChangeSetting(SETTING_SEQUENCE_MS, 40));
    EXPECT_EQ(p.m_bActive, 0);
    uint8_t out[16];
    EXPECT_EQ(p.ReadOutput(out, sizeof out), 0);
    EXPECT_FALSE(p.Drain());
    p.Clear();
    EXPECT_EQ(p.BufferedBytes(), 0);
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_EQ(p.m_bActive, 0); // nothing was stored before
}

TEST(SpeedProcessor, ActiveFollowsTheChangeValues) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_TRUE(p.ChangeTempo(SpeedFactorToPercent(0.995)));
    EXPECT_EQ(p.m_bActive, 0);
    EXPECT_TRUE(p.ChangeTempo(SpeedFactorToPercent(1.15)));
    EXPECT_EQ(p.m_bActive, 1);
    EXPECT_TRUE(p.ChangeTempo(0));
    EXPECT_EQ(p.m_bActive, 0);
    EXPECT_TRUE(p.ChangePitchSemiTones(-2));
    EXPECT_EQ(p.m_bActive, 1);
    EXPECT_TRUE(p.ChangeSetting(SETTING_OVERLAP_MS, 10));
    EXPECT_EQ(p.m_bActive, 1);
    EXPECT_TRUE(p.ChangePitchSemiTones(0));
    EXPECT_TRUE(p.ChangeRate(-1));
    EXPECT_EQ(p.m_bActive, 1);
    // Refused values change nothing.
    for (int32_t percent : {-100, -150, 4901, INT32_MIN, INT32_MAX}) {
        EXPECT_FALSE(p.ChangeTempo(percent));
        EXPECT_FALSE(p.ChangeRate(percent));
    }
    EXPECT_FALSE(p.ChangePitchSemiTones(61));
    EXPECT_FALSE(p.ChangePitchSemiTones(-61));
    EXPECT_TRUE(p.ChangeRate(0));
    EXPECT_EQ(p.m_bActive, 0);
    // A fresh configuration is inactive again.
    EXPECT_TRUE(p.ChangeTempo(50));
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_EQ(p.m_bActive, 0);
}

TEST(SpeedProcessor, ChangeSettingRefusesWhatTheEngineCannotTake) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_FALSE(p.ChangeSetting(99, 1));
    EXPECT_FALSE(p.ChangeSetting(SETTING_INITIAL_LATENCY, 1));
    for (int32_t id : {SETTING_SEQUENCE_MS, SETTING_SEEKWINDOW_MS, SETTING_OVERLAP_MS}) {
        EXPECT_FALSE(p.ChangeSetting(id, -1));
        EXPECT_FALSE(p.ChangeSetting(id, kMaxStretchTuningMs + 1));
        EXPECT_TRUE(p.ChangeSetting(id, 0));
        EXPECT_TRUE(p.ChangeSetting(id, 20));
    }
    for (int32_t taps : {30, 0, -8, 4096, 64}) {
        EXPECT_TRUE(p.ChangeSetting(SETTING_AA_FILTER_LENGTH, taps)) << taps;
    }
    EXPECT_TRUE(p.ChangeSetting(SETTING_USE_AA_FILTER, 5));
    EXPECT_TRUE(p.ChangeSetting(SETTING_USE_QUICKSEEK, 0));
}

TEST(SpeedProcessor, ReadingMoreThanHeldEmptiesTheRing) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(-50));
    const std::vector<uint8_t> in = Sine16(kRate / 2);
    EXPECT_TRUE(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())));
    const int32_t held = p.BufferedBytes();
    ASSERT_GT(held, 0);
    std::vector<uint8_t> out(static_cast<size_t>(held) + 1000);
    EXPECT_EQ(p.ReadOutput(out.data(), static_cast<int32_t>(out.size())), held);
    EXPECT_EQ(p.BufferedBytes(), 0);
    EXPECT_EQ(p.ReadOutput(out.data(), 100), 0);
    EXPECT_EQ(p.ReadOutput(nullptr, 100), 0);
    EXPECT_TRUE(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())));
    EXPECT_GT(p.ReadOutput(out.data(), 100), 0);
}

TEST(SpeedProcessor, BadArgumentsAreRefused) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(50));
    EXPECT_FALSE(p.ProcessInput(nullptr, 100));
    const uint8_t block[8] = {};
    EXPECT_FALSE(p.ProcessInput(block, -1));
    EXPECT_FALSE(p.ProcessInput(nullptr, 0)); // nothing ready yet
    uint8_t out[8];
    EXPECT_EQ(p.ReadOutput(out, -5), 0);
}

// A partial frame at the end of a block is dropped, not carried into the next block: with the tone
// on the left only, any misalignment would put it on the right.
TEST(SpeedProcessor, OddBlockFeedsWholeFramesOnly) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(50));
    const std::vector<uint8_t> tone = Sine16(1024 * 200, 2, 441.0, kRate, 0.0);
    std::vector<uint8_t> in;
    for (size_t at = 0; at < tone.size(); at += 4096) {
        in.insert(in.end(), tone.begin() + static_cast<long>(at),
                  tone.begin() + static_cast<long>(at) + 4096);
        in.push_back(0x7F); // the 4097th byte
    }
    const std::vector<int16_t> out = AsInt16(Stream(p, in, 4097));
    const size_t frames = out.size() / 2;
    EXPECT_NEAR(static_cast<double>(frames), 1024 * 200 / 1.5, 1024 * 200 / 1.5 * 0.01);
    int32_t loudestRight = 0;
    for (size_t f = 0; f < frames; ++f) {
        loudestRight = std::max(loudestRight, std::abs(static_cast<int32_t>(out[2 * f + 1])));
    }
    EXPECT_LE(loudestRight, 1);
}

// Two processors get the same input; one is read empty after every block, the other in an uneven
// pattern that wraps the ring, grows it while wrapped and stops inside frames. Same bytes out.
TEST(SpeedProcessor, RingKeepsByteOrderAcrossWrapsAndGrowth) {
    CSpeedProcessor reference, uneven;
    for (CSpeedProcessor* p : {&reference, &uneven}) {
        ASSERT_TRUE(ConfigureDefault(*p));
        ASSERT_TRUE(p->ChangeTempo(-50));
    }
    const std::vector<uint8_t> in = Sine16(kRate * 8);
    const std::vector<uint8_t> expected = Stream(reference, in, 4096);
    std::vector<uint8_t> got;
    std::set<int32_t> capacities;
    int32_t block = 0;
    for (size_t at = 0; at < in.size(); at += 4096, ++block) {
        uneven.ProcessInput(in.data() + at,
                            static_cast<int32_t>(std::min<size_t>(4096, in.size() - at)));
        capacities.insert(uneven.RingCapacity());
        // Steady reads a little below the production wrap the 64 KiB ring; pauses grow it.
        const int32_t limit = (block / 40) % 2 == 0 ? 8000 + block % 7 : (block % 10 == 0 ? 3 : 0);
        const size_t n = got.size();
        got.resize(n + static_cast<size_t>(limit));
        got.resize(n + static_cast<size_t>(uneven.ReadOutput(got.data() + n, limit)));
    }
    uneven.Drain();
    while (uneven.BufferedBytes() > 0) {
        const size_t n = got.size();
        got.resize(n + 4093);
        got.resize(n + static_cast<size_t>(uneven.ReadOutput(got.data() + n, 4093)));
    }
    EXPECT_GE(capacities.size(), 3u);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST(SpeedProcessor, RingGrowsGeometrically) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(-50));
    const std::vector<uint8_t> in = Sine16(kRate * 10);
    std::vector<int32_t> capacities{p.RingCapacity()};
    for (size_t at = 0; at + 4096 <= in.size(); at += 4096) {
        p.ProcessInput(in.data() + at, 4096); // never read
        if (p.RingCapacity() != capacities.back()) {
            capacities.push_back(p.RingCapacity());
        }
        ASSERT_GE(p.RingCapacity(), p.BufferedBytes());
    }
    EXPECT_GT(p.BufferedBytes(), 3'000'000); // about 20 s of output held
    ASSERT_GE(capacities.size(), 2u);
    EXPECT_EQ(capacities[1], 64 * 1024);
    for (size_t i = 2; i < capacities.size(); ++i) {
        EXPECT_GE(capacities[i], 2 * capacities[i - 1]);
    }
    EXPECT_LE(capacities.size(), 8u); // 64 KiB .. 4 MiB
}

// At tempo 0.05 the input ends with a tone after silence, so the newest output is the tone.
// The ring keeps the newest 30 s and drops whole frames, also after a read that stopped inside a
// frame: the right channel stays silent.
TEST(SpeedProcessor, RingHoldsAtMostThirtySeconds) {
    constexpr int32_t rate = 8000;
    constexpr int32_t bound = CSpeedProcessor::kRingSeconds * rate * 4;
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p, 2, rate));
    ASSERT_TRUE(p.ChangeTempo(-95));
    std::vector<uint8_t> in(static_cast<size_t>(rate) * 4 * 7 / 5); // 1.4 s of silence
    const std::vector<uint8_t> tone = Sine16(rate / 5, 2, 300.0, rate, 0.0);
    in.insert(in.end(), tone.begin(), tone.end());
    std::vector<uint8_t> out(static_cast<size_t>(bound));
    int32_t maxCapacity = 0, firstRead = 0;
    for (size_t at = 0; at < in.size(); at += 800) {
        p.ProcessInput(in.data() + at, static_cast<int32_t>(std::min<size_t>(800, in.size() - at)));
        ASSERT_LE(p.BufferedBytes(), bound);
        maxCapacity = std::max(maxCapacity, p.RingCapacity());
        if (firstRead == 0) {
            firstRead = p.ReadOutput(out.data(), 2); // half a frame
        }
    }
    p.Drain();
    EXPECT_EQ(firstRead, 2);
    EXPECT_EQ(p.BufferedBytes(), bound - 2);
    EXPECT_LE(maxCapacity, bound);
    EXPECT_EQ(p.RingCapacity(), bound);
    ASSERT_EQ(p.ReadOutput(out.data() + 2, bound), bound - 2);
    const std::vector<int16_t> s = AsInt16(out);
    int32_t loudestRight = 0, loudestOldLeft = 0, loudestNewLeft = 0;
    for (size_t f = 0; f < s.size() / 2; ++f) {
        loudestRight = std::max(loudestRight, std::abs(static_cast<int32_t>(s[2 * f + 1])));
        int32_t& left = f < static_cast<size_t>(rate) * 20 ? loudestOldLeft : loudestNewLeft;
        left = std::max(left, std::abs(static_cast<int32_t>(s[2 * f])));
    }
    EXPECT_LE(loudestRight, 1);
    EXPECT_LE(loudestOldLeft, 1);
    EXPECT_GT(loudestNewLeft, 8000);
}

TEST(SpeedProcessor, ClearDropsEverything) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(-50));
    const std::vector<uint8_t> in = Sine16(kRate);
    ASSERT_TRUE(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())));
    p.Clear();
    EXPECT_EQ(p.BufferedBytes(), 0);
    uint8_t out[64];
    EXPECT_EQ(p.ReadOutput(out, sizeof out), 0);
    EXPECT_FALSE(p.Drain()); // nothing left inside the engine either
    EXPECT_EQ(p.m_bActive, 1);
    const std::vector<uint8_t> after = Stream(p, in, 4096);
    EXPECT_NEAR(static_cast<double>(after.size()), 2.0 * in.size(), 0.01 * in.size());
}

// While inactive the filter bypasses the processor, so the engine's leftovers are stale: they
// must not come out when a change activates it again.
TEST(SpeedProcessor, ActivationStartsFromAnEmptyEngine) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_TRUE(p.ChangeTempo(50));
    const std::vector<uint8_t> tone = Sine16(kRate);
    ASSERT_TRUE(p.ProcessInput(tone.data(), static_cast<int32_t>(tone.size())));
    ASSERT_TRUE(p.ChangeTempo(0));
    EXPECT_EQ(p.BufferedBytes(), 0);
    ASSERT_TRUE(p.ChangeTempo(50));
    const std::vector<uint8_t> silence(tone.size());
    const std::vector<int16_t> out = AsInt16(Stream(p, silence, 4096));
    ASSERT_FALSE(out.empty());
    for (int16_t v : out) {
        ASSERT_LE(std::abs(static_cast<int32_t>(v)), 1);
    }
}

// The anti-alias filter works only when the rate changes; 30 taps fall back to 32.
TEST(SpeedProcessor, BadAntiAliasLengthFallsBackTo32) {
    const std::vector<uint8_t> in = Sine16(kRate, 2, 5000.0);
    auto run = [&](int32_t taps) {
        CSpeedProcessor p;
        EXPECT_TRUE(p.Configure(2, kRate, 16, true, true, taps, 82, 14, 12));
        EXPECT_TRUE(p.ChangeRate(60));
        return Stream(p, in, 4096);
    };
    const std::vector<uint8_t> with32 = run(32);
    EXPECT_TRUE(run(30) == with32);
    EXPECT_TRUE(run(0) == with32);
    EXPECT_TRUE(run(-16) == with32);
    EXPECT_FALSE(run(64) == with32);
}

} // namespace
