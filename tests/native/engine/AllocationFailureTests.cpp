// Large allocations fail (FailingOperatorNew.h), inside the engine as well as in the processor.
#include "EngineTestUtil.h"
#include "SpeedProcessor.h"

#include <gtest/gtest.h>

#include "FailingOperatorNew.h"

using namespace enginetest;
using failingnew::FailAllocationsAbove;
using failingnew::g_failures;

namespace {

// At tempo 0.05 with rate 0.05 each input frame becomes 400 inside the engine, whose buffers then
// fail to grow. The engine records the new size before allocating it, so it must be replaced;
// reusing it would overrun its buffer.
TEST(AllocationFailure, EngineFailureLeavesAUsableProcessor) {
    CSpeedProcessor p;
    ASSERT_TRUE(ConfigureDefault(p));
    ASSERT_EQ(p.ChangeTempo(-95), EngineResult::Ok);
    ASSERT_EQ(p.ChangeRate(-95),
              EngineResult::Ok); // 400 times the input: megabytes of engine buffers
    const std::vector<uint8_t> in = Sine16(kRate / 2);
    {
        FailAllocationsAbove guard(1 << 20);
        for (size_t at = 0; at + 4096 <= in.size(); at += 4096) {
            p.ProcessInput(in.data() + at, 4096);
        }
        EXPECT_GT(g_failures, 0);
        EXPECT_EQ(p.Format().nChannels, 2); // still configured, with its values
        EXPECT_TRUE(p.IsActive());
    }
    // Now the engine's buffers may grow; a reused engine would write past them here.
    Stream(p, in, 4096, 0, false);
    EXPECT_GT(p.BufferedBytes(), 0);
    ASSERT_EQ(p.ChangeRate(0), EngineResult::Ok);
    ASSERT_EQ(p.ChangeTempo(50), EngineResult::Ok);
    p.Clear();
    const std::vector<uint8_t> out = Stream(p, in, 4096);
    EXPECT_NEAR(static_cast<double>(out.size()), in.size() / 1.5, 0.01 * in.size());
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
