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
        EXPECT_EQ(p.Format().nChannels, 0);
        EXPECT_EQ(p.BlockAlign(), 0);
        EXPECT_EQ(p.ChangeTempo(50), EngineResult::Refused);
        const uint8_t block[64] = {};
        EXPECT_EQ(p.ProcessInput(block, sizeof block), EngineResult::Refused);
    }
    EXPECT_TRUE(ConfigureDefault(p, 16, 192000, 32, true));
    EXPECT_EQ(p.BlockAlign(), 64);
    EXPECT_TRUE(p.Format().bFloat);
    EXPECT_TRUE(ConfigureDefault(p, 1, 8000, 8));
    EXPECT_EQ(p.BlockAlign(), 1);
    EXPECT_TRUE(ConfigureDefault(p, 2, CSpeedProcessor::kMinSampleRate, 16));
    EXPECT_EQ(CSpeedProcessor::kMinSampleRate, 1000);
    EXPECT_TRUE(ConfigureDefault(p, 6, 48000, 24));
    EXPECT_EQ(p.BlockAlign(), 18);
    EXPECT_EQ(p.Format().wBitsPerSample, 24);
    EXPECT_FALSE(p.Format().bFloat);
}

// Effective tempo T = tempo / 2^(pitch/12) and rate R = rate x 2^(pitch/12) each within 1/50..50,
// to the percent at whole octaves; every single value and any tempo with any rate at pitch 0
// inside; below the filter's 0.05 nothing, even where the stages would allow it.
TEST(SpeedProcessor, SpeedEnvelopeBoundsTheCombination) {
    const struct {
        int32_t tempo, rate, pitch;
        bool inside;
    } cases[] = {
        {-95, 0, 0, true},     {4900, 0, 0, true},     {0, -95, 0, true},
        {0, 4900, 0, true},    {0, 0, 60, true},       {0, 0, -60, true},
        {-95, -95, 0, true},   {4900, 4900, 0, true},  {-95, 4900, 0, true},
        {-96, 0, 0, false},    {-92, 0, 24, true},     {-36, 0, 60, true},
        {-37, 0, 60, false},   {0, 56, 60, true},      {0, 57, 60, false},
        {56, 0, -60, true},    {57, 0, -60, false},    {0, -36, -60, true},
        {0, -37, -60, false},  {-93, 0, 24, false},    {0, 2400, 12, true},
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
    ASSERT_EQ(p.ChangePitchSemiTones(60), EngineResult::Ok);
    EXPECT_EQ(p.ChangeTempo(-95),
              EngineResult::Refused); // 0.05 / 32: the stretch would make 640 times the input
    EXPECT_EQ(p.ChangeRate(57), EngineResult::Refused);
    ASSERT_EQ(p.ChangeRate(56), EngineResult::Ok);
    ASSERT_EQ(p.ChangeRate(0), EngineResult::Ok);
    // The refused tempo was not stored: two seconds in give two seconds out.
    EXPECT_NEAR(static_cast<double>(Stream(p, in, 4096).size() / 4), kRate * 2.0, 0.01 * kRate);

    ASSERT_EQ(p.ChangeTempo(4900), EngineResult::Ok);
    EXPECT_EQ(p.ChangePitchSemiTones(-60), EngineResult::Refused); // 50 x 32 = 1600
    EXPECT_EQ(p.ChangeTempo(-95), EngineResult::Refused);
    EXPECT_EQ(p.ChangeSpeed(-95, 0, 60), EngineResult::Refused);
    ASSERT_EQ(p.ChangeSpeed(-95, 0, -60), EngineResult::Ok);
    EXPECT_EQ(p.ChangeSpeed(4900, 4900, -60), EngineResult::Refused);
    // Tempo 0.05: twenty times as long (the stretch runs at 1.6, the resampling at 1/32).
    EXPECT_NEAR(static_cast<double>(Stream(p, in, 4096).size() / 4), kRate * 40.0, 0.01 * kRate);
}

TEST(SpeedProcessor, UnconfiguredProcessorDoesNothing) {
    CSpeedProcessor p;
    EXPECT_EQ(p.ChangeTempo(50), EngineResult::Refused);
    EXPECT_EQ(p.ChangeRate(50), EngineResult::Refused);
    EXPECT_EQ(p.ChangePitchSemiTones(3), EngineResult::Refused);
    EXPECT_EQ(p.ChangeSetting(SETTING_SEQUENCE_MS, 40), EngineResult::Refused);
    EXPECT_FALSE(p.IsActive());
    uint8_t out[16];
    EXPECT_EQ(p.ReadOutput(out, sizeof out), 0);
    EXPECT_EQ(p.Drain(), EngineResult::Refused);
    p.Clear();
    EXPECT_EQ(p.BufferedBytes(), 0);
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_FALSE(p.IsActive()); // nothing was stored before
}

TEST(SpeedProcessor, ActiveFollowsTheChangeValues) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_EQ(p.ChangeTempo(SpeedFactorToPercent(0.995)), EngineResult::Ok);
    EXPECT_FALSE(p.IsActive());
    EXPECT_EQ(p.ChangeTempo(SpeedFactorToPercent(1.15)), EngineResult::Ok);
    EXPECT_TRUE(p.IsActive());
    EXPECT_EQ(p.ChangeTempo(0), EngineResult::Ok);
    EXPECT_FALSE(p.IsActive());
    EXPECT_EQ(p.ChangePitchSemiTones(-2), EngineResult::Ok);
    EXPECT_TRUE(p.IsActive());
    EXPECT_EQ(p.ChangeSetting(SETTING_OVERLAP_MS, 10), EngineResult::Ok);
    EXPECT_TRUE(p.IsActive());
    EXPECT_EQ(p.ChangePitchSemiTones(0), EngineResult::Ok);
    EXPECT_EQ(p.ChangeRate(-1), EngineResult::Ok);
    EXPECT_TRUE(p.IsActive());
    // Refused values change nothing.
    for (int32_t percent : {-100, -150, 4901, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(p.ChangeTempo(percent), EngineResult::Refused);
        EXPECT_EQ(p.ChangeRate(percent), EngineResult::Refused);
    }
    EXPECT_EQ(p.ChangePitchSemiTones(61), EngineResult::Refused);
    EXPECT_EQ(p.ChangePitchSemiTones(-61), EngineResult::Refused);
    EXPECT_EQ(p.ChangeRate(0), EngineResult::Ok);
    EXPECT_FALSE(p.IsActive());
    // A fresh configuration is inactive again.
    EXPECT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_FALSE(p.IsActive());
}

TEST(SpeedProcessor, ChangeSettingRefusesWhatTheEngineCannotTake) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    EXPECT_EQ(p.ChangeSetting(99, 1), EngineResult::Refused);
    EXPECT_EQ(p.ChangeSetting(SETTING_INITIAL_LATENCY, 1), EngineResult::Refused);
    for (int32_t id : {SETTING_SEQUENCE_MS, SETTING_SEEKWINDOW_MS, SETTING_OVERLAP_MS}) {
        EXPECT_EQ(p.ChangeSetting(id, -1), EngineResult::Refused);
        EXPECT_EQ(p.ChangeSetting(id, kMaxStretchTuningMs + 1), EngineResult::Refused);
        EXPECT_EQ(p.ChangeSetting(id, 0), EngineResult::Ok);
        EXPECT_EQ(p.ChangeSetting(id, 20), EngineResult::Ok);
    }
    for (int32_t taps : {30, 0, -8, 4096, 64}) {
        EXPECT_EQ(p.ChangeSetting(SETTING_AA_FILTER_LENGTH, taps), EngineResult::Ok) << taps;
    }
    EXPECT_EQ(p.ChangeSetting(SETTING_USE_AA_FILTER, 5), EngineResult::Ok);
    EXPECT_EQ(p.ChangeSetting(SETTING_USE_QUICKSEEK, 0), EngineResult::Ok);
}

TEST(SpeedProcessor, ReadingMoreThanHeldEmptiesTheRing) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(-50), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate / 2);
    EXPECT_EQ(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())), EngineResult::Ok);
    const int32_t held = p.BufferedBytes();
    ASSERT_GT(held, 0);
    std::vector<uint8_t> out(static_cast<size_t>(held) + 1000);
    EXPECT_EQ(p.ReadOutput(out.data(), static_cast<int32_t>(out.size())), held);
    EXPECT_EQ(p.BufferedBytes(), 0);
    EXPECT_EQ(p.ReadOutput(out.data(), 100), 0);
    EXPECT_EQ(p.ReadOutput(nullptr, 100), 0);
    EXPECT_EQ(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())), EngineResult::Ok);
    EXPECT_GT(p.ReadOutput(out.data(), 100), 0);
}

TEST(SpeedProcessor, BadArgumentsAreRefused) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    EXPECT_EQ(p.ProcessInput(nullptr, 100), EngineResult::Refused);
    const uint8_t block[8] = {};
    EXPECT_EQ(p.ProcessInput(block, -1), EngineResult::Refused);
    EXPECT_EQ(p.ProcessInput(nullptr, 0), EngineResult::NoOutput); // nothing ready yet
    uint8_t out[8];
    EXPECT_EQ(p.ReadOutput(out, -5), 0);
}

// A partial frame at the end of a block is dropped, not carried into the next block: with the tone
// on the left only, any misalignment would put it on the right.
TEST(SpeedProcessor, OddBlockFeedsWholeFramesOnly) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
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
        ASSERT_EQ(p->ChangeTempo(-50), EngineResult::Ok);
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
    ASSERT_EQ(p.ChangeTempo(-50), EngineResult::Ok);
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
    ASSERT_EQ(p.ChangeTempo(-95), EngineResult::Ok);
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
    ASSERT_EQ(p.ChangeTempo(-50), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate);
    ASSERT_EQ(p.ProcessInput(in.data(), static_cast<int32_t>(in.size())), EngineResult::Ok);
    p.Clear();
    EXPECT_EQ(p.BufferedBytes(), 0);
    uint8_t out[64];
    EXPECT_EQ(p.ReadOutput(out, sizeof out), 0);
    EXPECT_EQ(p.Drain(), EngineResult::NoOutput); // nothing left inside the engine either
    EXPECT_TRUE(p.IsActive());
    const std::vector<uint8_t> after = Stream(p, in, 4096);
    EXPECT_NEAR(static_cast<double>(after.size()), 2.0 * in.size(), 0.01 * in.size());
}

// While inactive the filter bypasses the processor, so the engine's leftovers are stale: they
// must not come out when a change activates it again.
TEST(SpeedProcessor, ActivationStartsFromAnEmptyEngine) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    const std::vector<uint8_t> tone = Sine16(kRate);
    ASSERT_EQ(p.ProcessInput(tone.data(), static_cast<int32_t>(tone.size())), EngineResult::Ok);
    // The output already made at tempo 50 stays for the caller; only the engine starts afresh.
    const int32_t made = p.BufferedBytes();
    ASSERT_GT(made, 0);
    ASSERT_EQ(p.ChangeTempo(0), EngineResult::Ok);
    EXPECT_EQ(p.BufferedBytes(), made);
    std::vector<uint8_t> old(static_cast<size_t>(made));
    ASSERT_EQ(p.ReadOutput(old.data(), made), made);
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    const std::vector<uint8_t> silence(tone.size());
    const std::vector<int16_t> out = AsInt16(Stream(p, silence, 4096));
    ASSERT_FALSE(out.empty());
    for (int16_t v : out) {
        ASSERT_LE(std::abs(static_cast<int32_t>(v)), 1);
    }
}

// Once the engine holds input, the tail and the end of a stretch come out of it: its audio, not
// the silence an empty engine would make. So does a fresh engine's first output, though it holds
// nothing, while it fades in over the old one's.
TEST(SpeedProcessor, AnEngineThatHoldsInputIsHeardToTheEnd) {
    const std::vector<uint8_t> tone = Sine16(kRate / 10);
    const auto cbTone = static_cast<int32_t>(tone.size());
    // Frames of 16-bit stereo with a sample of the tone in them.
    auto heard = [](const std::vector<uint8_t>& bytes) {
        const std::vector<int16_t> s = AsInt16(bytes);
        int32_t frames = 0;
        for (size_t f = 0; f + 1 < s.size(); f += 2) {
            frames += s[f] != 0 || s[f + 1] != 0 ? 1 : 0;
        }
        return frames;
    };
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(100), EngineResult::Ok);
    std::vector<uint8_t> all(static_cast<size_t>(cbTone));
    ASSERT_NE(p.ProcessInput(tone.data(), cbTone), EngineResult::Failed);
    p.ReadOutput(all.data(), cbTone);
    std::vector<uint8_t> tail(2048);
    int32_t read = 0;
    ASSERT_EQ(p.ReadTail(tail.data(), 2048, read), EngineResult::Ok);
    EXPECT_GE(heard(tail), 500);

    p.Clear();
    ASSERT_NE(p.ProcessInput(tone.data(), cbTone), EngineResult::Failed);
    p.ReadOutput(all.data(), cbTone);
    int32_t used = -1;
    ASSERT_EQ(p.FinishStretch(nullptr, 0, 200, nullptr, used), EngineResult::Ok);
    ASSERT_EQ(p.BufferedBytes(), 800);
    std::vector<uint8_t> owed(800);
    ASSERT_EQ(p.ReadOutput(owed.data(), 800), 800);
    EXPECT_GE(heard(owed), 190);

    // The old engine's output for the tone goes on over the fresh one's first (silent) output.
    p.Clear();
    ASSERT_EQ(p.ChangeTempo(100), EngineResult::Ok);
    const int32_t next[3] = {100, 0, 0};
    ASSERT_EQ(p.FinishStretch(tone.data(), cbTone, 0, next, used), EngineResult::Ok);
    ASSERT_EQ(p.BufferedBytes(), 0);
    const int32_t fade = kRate / 1000 * CSpeedProcessor::kSpliceMs;
    std::vector<uint8_t> faded(static_cast<size_t>(fade) * 4);
    ASSERT_EQ(p.ReadTail(faded.data(), fade * 4, read), EngineResult::Ok);
    EXPECT_GE(heard(faded), fade / 2);
}

// The anti-alias filter works only when the rate changes; 30 taps fall back to 32.
TEST(SpeedProcessor, BadAntiAliasLengthFallsBackTo32) {
    const std::vector<uint8_t> in = Sine16(kRate, 2, 5000.0);
    auto run = [&](int32_t taps) {
        CSpeedProcessor p;
        EngineOptions options = DefaultOptions();
        options.nAntiAliasLength = taps;
        EXPECT_EQ(p.Configure({2, kRate, 16, false}, options), EngineResult::Ok);
        EXPECT_EQ(p.ChangeRate(60), EngineResult::Ok);
        return Stream(p, in, 4096);
    };
    const std::vector<uint8_t> with32 = run(32);
    EXPECT_TRUE(run(30) == with32);
    EXPECT_TRUE(run(0) == with32);
    EXPECT_TRUE(run(-16) == with32);
    EXPECT_FALSE(run(64) == with32);
}

// Slowed down, each call to the engine gets the input for about a chunk (1024 frames) of output,
// at least a frame; otherwise a chunk.
TEST(SpeedProcessor, InputPiecesMakeAboutAChunkOfOutput) {
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(1.0), 1024);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(0.02), 1024);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(std::nan("")), 1024);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(1.5), 682);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(2.0), 512);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(3.0), 341);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(400.0), 2);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(1024.0), 1);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(2500.0), 1);
    EXPECT_EQ(CSpeedProcessor::InputPieceFrames(HUGE_VAL), 1);
}

// A processor configured for another format keeps its engine (for the size of its buffers), and
// that engine then acts as a new one: the same bytes, whatever the old one was set to, fed or
// left holding. The new options leave the tuning and anti-alias length to the engine's defaults
// where they can, and the anti-alias filter is mostly switched on afterwards, so that a length or
// tuning kept from before would be heard.
TEST(SpeedProcessor, AnEngineKeptForANewFormatActsAsANewOne) {
    struct Case {
        PcmFormat from;
        int32_t fromSpeed[3];
        PcmFormat to;
        EngineOptions options;
        int32_t toSpeed[3];
        bool antiAliasOn; // switched on after Configure
    };
    const EngineOptions automatic{false, false, 0, {0, 0, 0}};
    const EngineOptions tuned{true, true, 48, {60, 18, 9}};
    const Case cases[] = {
        {{6, 96000, 32, true}, {4900, 0, 0}, {2, 44100, 16, false}, automatic, {50, 0, 0}, true},
        {{1, 8000, 8, false}, {-95, -95, 0}, {2, 48000, 24, false}, automatic, {-30, 20, 3}, true},
        {{2, 44100, 16, false}, {0, 0, 12}, {1, 22050, 16, false}, tuned, {25, -10, -5}, true},
        {{2, 44100, 16, false}, {-50, 0, 0}, {2, 44100, 32, true}, tuned, {0, 0, 7}, true},
        {{2, 44100, 16, false}, {0, 30, 0}, {2, 44100, 16, false}, automatic, {0, 30, 0}, false},
    };
    for (const Case& c : cases) {
        // Two tones, one above where the anti-alias filter cuts, as 16-bit samples; read as the
        // target format's bytes, noise-like for the wider formats, as good for a comparison.
        const int32_t frames = c.to.nSamplesPerSec / 2;
        const std::vector<int16_t> low =
            AsInt16(Sine16(frames, c.to.nChannels, 441.0, c.to.nSamplesPerSec));
        const std::vector<int16_t> high =
            AsInt16(Sine16(frames, c.to.nChannels, 0.3 * c.to.nSamplesPerSec, c.to.nSamplesPerSec));
        std::vector<uint8_t> in(low.size() * 2);
        for (size_t i = 0; i < low.size(); ++i) {
            const auto v = static_cast<int16_t>(low[i] / 2 + high[i] / 2);
            std::memcpy(&in[2 * i], &v, 2);
        }
        const auto run = [&](CSpeedProcessor& p) {
            EXPECT_EQ(p.Configure(c.to, c.options), EngineResult::Ok);
            if (c.antiAliasOn) {
                EXPECT_EQ(p.ChangeSetting(SETTING_USE_AA_FILTER, 1), EngineResult::Ok);
            }
            EXPECT_EQ(p.ChangeSpeed(c.toSpeed[0], c.toSpeed[1], c.toSpeed[2]), EngineResult::Ok);
            return Stream(p, in, 4096);
        };
        CSpeedProcessor fresh;
        const std::vector<uint8_t> expected = run(fresh);
        CSpeedProcessor kept;
        ASSERT_EQ(kept.Configure(c.from, DefaultOptions()), EngineResult::Ok);
        ASSERT_EQ(kept.ChangeSpeed(c.fromSpeed[0], c.fromSpeed[1], c.fromSpeed[2]),
                  EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_USE_AA_FILTER, 1), EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_AA_FILTER_LENGTH, 128), EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_USE_QUICKSEEK, 1), EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_SEQUENCE_MS, 30), EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_SEEKWINDOW_MS, 10), EngineResult::Ok);
        EXPECT_EQ(kept.ChangeSetting(SETTING_OVERLAP_MS, 20), EngineResult::Ok);
        const int32_t fromBlock = c.from.nChannels * c.from.wBitsPerSample / 8 * 1000;
        const std::vector<uint8_t> old(static_cast<size_t>(fromBlock) * 3, 0x35);
        Stream(kept, old, fromBlock, 0, false); // output left in the ring, input in the engine
        EXPECT_EQ(run(kept), expected)
            << c.from.nChannels << " channels at " << c.from.nSamplesPerSec;
        EXPECT_FALSE(expected.empty());
    }
}

} // namespace
