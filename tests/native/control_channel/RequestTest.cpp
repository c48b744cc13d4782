// Requests from another process: when the streaming path hears them, what the filter refuses
// in them, and that they are applied by value (a request is a set of values, not a command).
#include "ControlChannelTest.h"

#include <cstdint>
#include <cmath>
#include <limits>

#include "SharedBlock.h"

TEST_F(ControlChannelTest, RequestFromAnotherProcessIsHeardAtTheNextSample) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 3.0);
    const size_t kInputs = input.size() / kChunk100ms;
    constexpr int kChangeAt = 3;
    // The source stops before its chunk kChangeAt until the request is in force.
    std::mutex m;
    std::condition_variable cv;
    bool bAtChange = false;
    bool bGo = false;
    auto hook = [&](int chunk, SourceChunk&) {
        if (chunk != kChangeAt) {
            return;
        }
        std::unique_lock<std::mutex> lock(m);
        bAtChange = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::milliseconds(kHangMs), [&] { return bGo; });
    };
    CHANNEL_EVENT(evArrival, kVelomixArrivalEventName);
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kChunk100ms, hook),
                   kChunk100ms);
    ASSERT_TRUE(c.prop && evArrival.Wait(kHangMs));
    ASSERT_HR(S_OK, c.graph->Run());
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(
            cv.wait_for(lock, std::chrono::milliseconds(kHangMs), [&] { return bAtChange; }));
    }
    const int code = Ctl({"set", "--tempo", "1.5"});
    EXPECT_EQ(Out(), "tempo 1.5 rate 1 pitch 0\n");
    EXPECT_EQ(ValuesOf(c.prop.Get()), (VelomixValues{1.5, 1.0, 0}));
    {
        std::lock_guard<std::mutex> lock(m);
        bGo = true;
    }
    cv.notify_all();
    ASSERT_EQ(code, 0) << Err();
    LONG event = 0;
    EXPECT_HR(S_OK, c.graph->WaitForCompletion(30000, &event));
    EXPECT_HR(S_OK, c.graph->Stop());

    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_GT(out.size(), kInputs) << "one sample per input, then the tail";
    for (size_t i = 0; i < kChangeAt; ++i) {
        const std::vector<uint8_t> chunk(input.begin() + i * kChunk100ms,
                                         input.begin() + (i + 1) * kChunk100ms);
        EXPECT_EQ(out[i].data, chunk) << "sample " << i << " came before the request: a copy";
    }
    const std::vector<uint8_t> changed(input.begin() + kChangeAt * kChunk100ms,
                                       input.begin() + (kChangeAt + 1) * kChunk100ms);
    EXPECT_NE(out[kChangeAt].data, changed) << "the next sample after the request was copied";
    // From there on each output sample carries about 1/1.5 of its input's bytes; the tail
    // brings what the engine still held at the end.
    size_t bytes = 0;
    for (size_t i = kChangeAt; i < out.size(); ++i) {
        bytes += out[i].data.size();
    }
    const double expected = double(input.size() - kChangeAt * kChunk100ms) / 1.5;
    EXPECT_NEAR(bytes / expected, 1.0, 0.02);
    size_t steadyBytes = 0;
    for (size_t i = kChangeAt + 3; i < kInputs; ++i) {
        steadyBytes += out[i].data.size();
    }
    EXPECT_NEAR(double(steadyBytes) / double((kInputs - kChangeAt - 3) * kChunk100ms), 1 / 1.5,
                0.04);
}

TEST_F(ControlChannelTest, ARequestIsAppliedWholeOrRefusedWhole) {
    ComPtr<IBaseFilter> filter = CreateServingFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    CHANNEL_EVENT(evChange, kVelomixChangeEventName);
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        double dTempo, dRate;
        int32_t nPitch;
        VelomixValues expected; // each case starts where the one before left the filter
    };
    const Case cases[] = {
        // One value out of its range refuses the others beside it.
        {kNaN, 1.25, 3, {1.0, 1.0, 0}},
        {1.5, kInf, -3, {1.0, 1.0, 0}},
        {2.0, 0.8, 61, {1.0, 1.0, 0}},
        {-kInf, 0.5, -61, {1.0, 1.0, 0}},
        {0.01, 50.01, INT32_MIN, {1.0, 1.0, 0}},
        {0.0, -1.5, INT32_MAX, {1.0, 1.0, 0}},
        {std::numeric_limits<double>::denorm_min(), 1e308, 7, {1.0, 1.0, 0}},
        // Each value in range, the combination outside the envelope: nothing of it is taken
        // (0.05 / 2^5 and 0.1 / 2^5 stretch below 0.02).
        {0.64, 1.0, 0, {0.64, 1.0, 0}},
        {0.05, 1.0, 60, {0.64, 1.0, 0}},
        {0.1, 1.0, 60, {0.64, 1.0, 0}},
        // Inside as a whole although each value beside the other's old one is not: tempo 50 at
        // -12 semitones and pitch +24 at tempo 0.05 both leave the envelope.
        {0.05, 1.0, -12, {0.05, 1.0, -12}},
        {50.0, 1.0, 24, {50.0, 1.0, 24}},
        // The limits themselves, and the envelope's edges at +60 and -60.
        {0.05, 50.0, 0, {0.05, 50.0, 0}},
        {0.64, 1.56, 60, {0.64, 1.56, 60}},
        {1.56, 0.64, -60, {1.56, 0.64, -60}},
        {0.05, 0.64, 60, {1.56, 0.64, -60}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "request " << k.dTempo << " " << k.dRate << " " << k.nPitch);
        ASSERT_EQ(RunRole("request", {Arg(k.dTempo), Arg(k.dRate), std::to_string(k.nPitch)}), 0)
            << Err();
        EXPECT_TRUE(WaitUntilInForce(evChange, prop.Get(), k.expected))
            << "the filter holds " << ValuesOf(prop.Get()) << ", the block shows "
            << SharedBlockValues();
    }
}

TEST_F(ControlChannelTest, RequestsAreAppliedByValue) {
    ComPtr<IBaseFilter> filter = CreateServingFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    ASSERT_HR(S_OK, prop->SetTempo(1.25));
    ASSERT_HR(S_OK, prop->SetRate(0.8));
    ASSERT_HR(S_OK, prop->SetPitch(3));
    CHANNEL_EVENT(evChange, kVelomixChangeEventName);

    // The values in force again: nothing changes, so nothing is announced. (Whether the thread
    // has read it cannot be seen from outside; a notification would follow within
    // microseconds, so a short quiet spell tells.)
    ASSERT_EQ(RunRole("request", {"1.25", "0.8", "3"}), 0) << Err();
    EXPECT_FALSE(evChange.Wait(300)) << "a request of the current values was announced";
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{1.25, 0.8, 3}));

    // Two requests written while this process holds the mutex: the thread cannot read between
    // them, so only the later is in force (the counting of applications is the server tests').
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
        ASSERT_TRUE(guard);
        CQShareMemory block;
        CQNamedEvent evRequest;
        ASSERT_TRUE(block.Open(kVelomixBlockName, kVelomixBlockDataSize));
        ASSERT_TRUE(evRequest.OpenExisting(kVelomixRequestEventName, false, false));
        const double dFirst = 1.5;
        ASSERT_EQ(block.Write(&dFirst, kVelomixTempoOffset, 8), 8u);
        ASSERT_TRUE(evRequest.Set());
        const double dSecond = 2.5;
        const int32_t nPitch = -3;
        ASSERT_EQ(block.Write(&dSecond, kVelomixTempoOffset, 8), 8u);
        ASSERT_EQ(block.Write(&nPitch, kVelomixPitchOffset, 4), 4u);
        ASSERT_TRUE(evRequest.Set());
    }
    EXPECT_TRUE(WaitUntilInForce(evChange, prop.Get(), VelomixValues{2.5, 0.8, -3}))
        << "the filter holds " << ValuesOf(prop.Get()) << ", the block shows "
        << SharedBlockValues();
}

TEST_F(ControlChannelTest, RequestRightAfterARefusedOneIsNotLost) {
    // The answer to a refused request publishes the values in force, read before it takes the
    // mutex. A control program that writes its next request in that moment must not see it
    // overwritten by that answer (and so never applied). The other side sends 500 such pairs,
    // the second request of each after a varying short pause, and waits for each to be in force.
    ComPtr<IBaseFilter> filter = CreateServingFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    EXPECT_EQ(RunRole("refused-then-valid", {"500"}, 120000), 0) << Out() << Err();
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{1.0 + 500 / 1000.0, 1.0, 0}));
}

// velomixctl says at once that the filter refused a combination outside the speed envelope
// (exit 2), and sets one that is inside as a whole although neither value alone would be.
TEST_F(ControlChannelTest, VelomixctlTellsARefusedCombinationAtOnce) {
    ComPtr<IBaseFilter> filter = CreateServingFilter();
    ASSERT_TRUE(filter);
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    ASSERT_HR(S_OK, prop->SetTempo(0.64));
    EXPECT_EQ(Ctl({"set", "--tempo", "0.05", "--pitch", "60", "--timeout", "60000"}), 2);
    EXPECT_NE(Err().find("outside the speed envelope"), std::string::npos) << Err();
    EXPECT_NE(Err().find("in force: tempo 0.64 rate 1 pitch 0"), std::string::npos) << Err();
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{0.64, 1.0, 0}));

    ASSERT_EQ(Ctl({"set", "--tempo", "0.05", "--pitch", "-12"}), 0) << Err();
    ASSERT_EQ(Ctl({"set", "--tempo", "50", "--pitch", "24"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 50 rate 1 pitch 24\n");
    EXPECT_EQ(ValuesOf(prop.Get()), (VelomixValues{50.0, 1.0, 24}));
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{50.0, 1.0, 24}));
}
