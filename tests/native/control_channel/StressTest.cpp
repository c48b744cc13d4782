// The lock order under load: four threads calling setters and getters, a control program
// writing requests as fast as it can and a graph streaming, all at once for three seconds.
#include "ControlChannelTest.h"

#include <cmath>
#include <random>

#include "SharedBlock.h"

TEST_F(ControlChannelTest, LockOrderHoldsUnderLoadWhileStreaming) {
    ToneLoop tone(WaveFormat(2, kRate, 16), kChunk10ms);
    CHANNEL_EVENT(evArrival, kVelomixArrivalEventName);
    Chain c = BuildToneChain(tone);
    ASSERT_TRUE(c.prop && evArrival.Wait(kHangMs));
    CHANNEL_EVENT(evChange, kVelomixChangeEventName);
    IVelomixProp* pProp = c.prop.Get();
    ASSERT_HR(S_OK, c.graph->Run());
    {
        Watchdog watchdog("the loaded run", 180000);
        auto storm = ChildProcess::StartRole("request-storm", {"3000"});
        ASSERT_TRUE(storm);
        const size_t receivedBefore = tone.Received();
        std::atomic<bool> bStop{false};
        std::vector<std::thread> clients;
        for (unsigned t = 0; t < 4; ++t) {
            clients.emplace_back([pProp, &bStop, t] {
                std::mt19937 gen(t);
                std::uniform_real_distribution<double> factor(0.5, 2.0);
                std::uniform_int_distribution<int> semitones(-12, 12);
                for (unsigned i = 0; !bStop; ++i) {
                    double dValue = 0;
                    int nValue = 0;
                    pProp->SetTempo(i % 32 == 5 ? std::nan("") : factor(gen));
                    pProp->GetRate(&dValue);
                    pProp->SetPitch(semitones(gen));
                    pProp->GetTempo(&dValue);
                    pProp->SetRate(factor(gen));
                    pProp->GetPitch(&nValue);
                }
            });
        }
        const bool bStormDone = storm->WaitForLine("storm done", 120000);
        bStop = true;
        for (std::thread& t : clients) {
            t.join();
        }
        ASSERT_TRUE(bStormDone) << storm->Stderr();
        EXPECT_EQ(storm->Wait(), 0) << storm->Stderr();
        EXPECT_GT(tone.Received(), receivedBefore + 100) << "the stream stalled under load";
    }

    // Quiet now: once the last request has been dealt with, the block shows the values in
    // force (a stale publication written last would stay there).
    for (;;) {
        if (SharedBlockValues() == ValuesOf(pProp) || !evChange.Wait(2000)) {
            break;
        }
    }
    EXPECT_EQ(SharedBlockValues(), ValuesOf(pProp));

    // A last request, once: what velomixctl confirms is in force, in the filter and the block.
    ASSERT_EQ(Ctl({"set", "--tempo", "2", "--rate", "1", "--pitch", "0"}), 0) << Err();
    EXPECT_EQ(ValuesOf(pProp), (VelomixValues{2.0, 1.0, 0}));
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{2.0, 1.0, 0}));
    // The streaming thread runs at it.
    size_t from = tone.Received() + 3;
    ASSERT_TRUE(tone.WaitForReceived(from + 200));
    EXPECT_NEAR(tone.Ratio(from, from + 200), 0.5, 0.05);

    // And a last local change, published and streamed.
    ASSERT_HR(S_OK, pProp->SetTempo(1.0));
    EXPECT_EQ(SharedBlockValues(), (VelomixValues{1.0, 1.0, 0}));
    // The first input after the change carries what the engine still owed at tempo 2 and the
    // join into the copy: up to five of the four-chunk buffers, after the two in flight.
    from = tone.Received() + 8;
    ASSERT_TRUE(tone.WaitForReceived(from + 20));
    EXPECT_TRUE(tone.AllWholeChunks(from, from + 20)) << "normal speed is a plain copy";

    FinishTone(tone, c);
}
