// Large allocations fail (FailingOperatorNew.h), inside the engine as well as in the processor.
#include "EngineTestUtil.h"
#include "SpeedProcessor.h"

#include <gtest/gtest.h>

#include "FailingOperatorNew.h"

using namespace enginetest;
using failingnew::FailAllocationsAbove;
using failingnew::g_failures;

namespace {

// At tempo 50 the engine wants seconds of input for each sequence (1.4 MB of floats here), and
// its input buffer fails to grow. The engine records the new size before allocating it, so it
// must be replaced; reusing it would overrun its buffer.
TEST(AllocationFailure, EngineFailureLeavesAUsableProcessor) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(4900), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate * 6);
    {
        FailAllocationsAbove guard(1 << 20);
        int failed = 0;
        for (size_t at = 0; at + 4096 <= in.size(); at += 4096) {
            failed += p.ProcessInput(in.data() + at, 4096) == EngineResult::Failed ? 1 : 0;
        }
        EXPECT_GT(failed, 0);
        EXPECT_GT(g_failures, 0);
        EXPECT_EQ(p.Format().nChannels, 2); // still configured, with its values
        EXPECT_TRUE(p.IsActive());
    }
    // Now the engine's buffers may grow; a reused engine would write past them here.
    p.Clear();
    EXPECT_GT(Stream(p, in, 4096).size(), 0u);
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    p.Clear();
    const std::vector<uint8_t> out = Stream(p, in, 4096);
    EXPECT_NEAR(static_cast<double>(out.size()), in.size() / 1.5, 0.01 * in.size());
}

// Slowed down 400 times (tempo 0.05 with rate 0.05), the engine is given so little input at a
// time that it holds about a chunk of output: its buffers stay within a few hundred KiB while a
// block of 128 frames becomes 51,200 (which, made at once, would want 400 KiB of floats).
TEST(AllocationFailure, SlowedDownEngineHoldsLittleOutputAtATime) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeSpeed(-95, -95, 0), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate / 10);
    int64_t outBytes = 0;
    {
        // The ring grows to 256 KiB for a block's output; the engine's own buffers stay below.
        FailAllocationsAbove guard(300 * 1024);
        std::vector<uint8_t> out(256 * 1024);
        for (size_t at = 0; at + 512 <= in.size(); at += 512) {
            EXPECT_NE(p.ProcessInput(in.data() + at, 512), EngineResult::Failed) << at;
            outBytes += p.ReadOutput(out.data(), static_cast<int32_t>(out.size()));
        }
        EXPECT_EQ(g_failures, 0);
        // The end of the stretch feeds the engine the same way.
        int32_t used = -1;
        EXPECT_EQ(p.FinishStretch(in.data(), 512, 400 * 128, nullptr, used), EngineResult::Ok);
        EXPECT_EQ(used, 128);
        EXPECT_FALSE(p.IsActive());
        EXPECT_EQ(g_failures, 0);
    }
    // 400 times the input, less what the engine still holds (its latency: a few ms of input).
    EXPECT_LE(outBytes, 400 * static_cast<int64_t>(in.size()));
    EXPECT_GE(outBytes, 400 * static_cast<int64_t>(in.size() - kRate / 100 * 4));
}

// At 2,500 times (tempo 50 with rate 50) an engine wants seconds of input before it yields
// anything: megabytes of silence in its buffers. One that holds nothing (made or cleared, and fed
// nothing since) would only make silence of it, so the tail and the end of a stretch write the
// silence they owe themselves.
TEST(AllocationFailure, AnEngineThatHoldsNothingIsNotFedSilence) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeSpeed(4900, 4900, 0), EngineResult::Ok);
    const std::vector<uint8_t> tone = Sine16(1);
    const int32_t next[3] = {4900, 4900, 0};
    int32_t used = -1;
    std::vector<uint8_t> out(4096, 0x55);
    // Emptied by a flush.
    ASSERT_NE(p.ProcessInput(tone.data(), 4), EngineResult::Failed);
    p.Clear();
    {
        FailAllocationsAbove guard(300 * 1024);
        int32_t read = -1;
        EXPECT_EQ(p.ReadTail(out.data(), 4096, read), EngineResult::Ok);
        EXPECT_EQ(read, 4096);
        EXPECT_EQ(out, std::vector<uint8_t>(4096, 0));
        EXPECT_EQ(g_failures, 0);
    }
    // Emptied by the end of a stretch, into a fresh engine that starts on no input (none came
    // since the flush): the owed frames are silence, and the fresh engine holds nothing either.
    p.Clear();
    ASSERT_EQ(p.FinishStretch(tone.data(), 4, 0, next, used), EngineResult::Ok);
    {
        FailAllocationsAbove guard(300 * 1024);
        EXPECT_EQ(p.FinishStretch(nullptr, 0, 1000, next, used), EngineResult::Ok);
        EXPECT_EQ(used, 0);
        ASSERT_EQ(p.BufferedBytes(), 4000);
        std::fill(out.begin(), out.end(), uint8_t{0x55});
        EXPECT_EQ(p.ReadOutput(out.data(), 4096), 4000);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4000),
                  std::vector<uint8_t>(4000, 0));
        EXPECT_EQ(p.FinishStretch(nullptr, 0, 3, nullptr, used), EngineResult::Ok);
        EXPECT_EQ(p.BufferedBytes(), 12);
        EXPECT_FALSE(p.IsActive());
        EXPECT_EQ(g_failures, 0);
    }
}

// A ring that cannot grow keeps what it holds; the output that did not fit stays in the engine
// and comes out with the next block, here a zero-length one.
TEST(AllocationFailure, RingThatCannotGrowKeepsWhatItHolds) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(-50), EngineResult::Ok);
    const std::vector<uint8_t> in = Sine16(kRate * 2);
    int32_t held = 0;
    {
        FailAllocationsAbove guard(64 * 1024); // the ring's first storage, no more
        for (size_t at = 0; at + 4096 <= in.size() && g_failures == 0; at += 4096) {
            p.ProcessInput(in.data() + at, 4096);
        }
        EXPECT_GT(g_failures, 0);
        EXPECT_EQ(p.RingCapacity(), 64 * 1024);
        held = p.BufferedBytes();
        EXPECT_GT(held, 60 * 1024);
    }
    EXPECT_EQ(p.ProcessInput(nullptr, 0), EngineResult::Ok);
    EXPECT_GT(p.BufferedBytes(), held);
}

} // namespace
