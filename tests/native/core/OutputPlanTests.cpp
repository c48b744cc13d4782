#include "OutputPlan.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

// An output as {cbBytes, inFrom, inTo, unit}.
using Slot = std::array<int64_t, 4>;
Slot Of(const InputPlan::Output& o) {
    return {o.cbBytes, o.inFrom, o.inTo, o.unit};
}

TEST(SliceFrames, FiveSecondsOrFourBuffersOfOutputInInputFrames) {
    struct Case {
        int32_t inFrames;
        double ratio;
        int32_t cbBuffer, blockAlign, rate, want;
    } cases[] = {
        // 44.1 kHz stereo 16-bit, 100 ms buffers: five seconds (220500 output frames) is more.
        {1000000, 2.0, 17640, 4, 44100, 110250},
        {1000000, 0.5, 17640, 4, 44100, 441000},
        {1000000, 20.0, 17640, 4, 44100, 11025},
        {100000, 0.5, 17640, 4, 44100, 100000}, // the whole input
        {1000000, 1e9, 17640, 4, 44100, 1},
        // Two-second buffers: four of them (352800 frames) are more.
        {2000000, 2.0, 352800, 4, 44100, 176400},
        {2000000, 0.5, 352800, 4, 44100, 705600},
        {2000000, 20.0, 352800, 4, 44100, 17640},
        {100000, 1.0, 17641, 4, 1000, 17641},   // a buffer ending mid-frame counts its fraction
        {1000000, 2.0, 4410, 1, 44100, 110250}, // 8-bit mono: a frame is a byte
        {1000000, 1.0, 100000, 1, 8000, 400000},
        {5000, 0.0, 17640, 4, 44100, 5000},
        {5000, -0.5, 17640, 4, 44100, 5000}, // no ratio known: the whole input
        {1000, 2.0, 0, 4, 0, 2},             // four one-frame buffers
        {7, 2.0, 17640, 0, 44100, 7},
        {7, 2.0, 0, 0, 44100, 7},
        {0, 2.0, 17640, 4, 44100, 1},
        {-5, 2.0, 17640, 4, 44100, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SliceFrames(c.inFrames, c.ratio, c.cbBuffer, c.blockAlign, c.rate), c.want)
            << c.inFrames << " " << c.ratio << " " << c.cbBuffer << " " << c.blockAlign;
}

TEST(InputPlan, SlicesNeverPassTheInputAndAGroupIsFullPastOneBuffer) {
    InputPlan plan;
    plan.Start(10000, 4096);
    EXPECT_EQ(plan.NextSlice(0, 3000), 3000);
    EXPECT_EQ(plan.NextSlice(9000, 3000), 1000);
    EXPECT_EQ(plan.NextSlice(9999, 3000), 1);
    EXPECT_EQ(plan.NextSlice(10000, 3000), 0);
    EXPECT_EQ(plan.NextSlice(12000, 3000), 0);
    EXPECT_EQ(plan.NextSlice(0, 0), 1);
    EXPECT_EQ(plan.NextSlice(0, -5), 1);
    EXPECT_FALSE(plan.GroupFull(4096));
    EXPECT_TRUE(plan.GroupFull(4097));
    plan.Start(10000, 1);
    EXPECT_FALSE(plan.GroupFull(1));
    EXPECT_TRUE(plan.GroupFull(2));
    plan.Start(10000, 0);
    EXPECT_FALSE(plan.GroupFull(100000));
    plan.Start(-5, 4096);
    EXPECT_EQ(plan.InFrames(), 0);
    plan.Start(10000, -5);
    EXPECT_EQ(plan.BufferBytes(), 0);
}

// A plan never started and one started anew plan nothing: the input's group comes first.
TEST(InputPlan, AStartedPlanHasNoGroupYet) {
    InputPlan fresh, restarted;
    restarted.Start(1000, 4096);
    restarted.PlanGroup(500, 9000, false, false);
    restarted.Next(3000);
    restarted.Start(0, 0);
    for (InputPlan* plan : {&fresh, &restarted}) {
        EXPECT_EQ(plan->InFrames(), 0);
        EXPECT_EQ(plan->BufferBytes(), 0);
        EXPECT_EQ(plan->NextSlice(0, 100), 0);
        EXPECT_FALSE(plan->GroupOpen());
        EXPECT_EQ(plan->PlannedBytes(), 0);
        EXPECT_EQ(Of(plan->Next(4096)), (Slot{0, 0, 0, 1}));
        EXPECT_FALSE(plan->GroupOpen());
    }
}

TEST(InputPlan, GroupsPlanWholeBuffersAndTheLastGroupTheRest) {
    struct Case {
        int32_t cbBuffer, cbHeld;
        bool bLast, bDrain;
        int32_t planned;
        bool open;
    } cases[] = {
        {4096, 4097, false, false, 4096, true}, {4096, 8192, false, false, 4096, true},
        {4096, 8193, false, false, 8192, true}, {4096, 4097, true, false, 4096, true},
        {4096, 4096, false, false, 0, false},   {4096, 4096, true, false, 4096, true},
        {4096, 100, true, false, 100, true},    {4096, 0, true, false, 0, true},
        {4096, 0, false, false, 0, false},      {4096, 10000, true, true, 10000, true},
        {0, 10000, true, true, 0, true},        {0, 10000, false, false, 0, false},
        {4096, -3, true, false, 0, true},       {1, 5, false, false, 4, true},
        {1, 2, false, false, 1, true},          {1, 5, true, true, 5, true},
    };
    for (const Case& c : cases) {
        InputPlan plan;
        plan.Start(1000, c.cbBuffer);
        plan.PlanGroup(1000, c.cbHeld, c.bLast, c.bDrain);
        EXPECT_EQ(plan.PlannedBytes(), c.planned) << c.cbBuffer << " " << c.cbHeld;
        EXPECT_EQ(plan.GroupOpen(), c.open) << c.cbBuffer << " " << c.cbHeld;
    }
}

// The outputs of the open group, each at most cbMax bytes.
using Outputs = std::vector<Slot>;
Outputs Drain(InputPlan& plan, int32_t cbMax) {
    Outputs outs;
    while (plan.GroupOpen() && outs.size() < 100)
        outs.push_back(Of(plan.Next(cbMax)));
    return outs;
}

TEST(InputPlan, OutputsShareTheGroupsFramesAsTheirBytesShareItsOutput) {
    InputPlan plan;
    plan.Start(1000, 4096);
    plan.PlanGroup(100, 5000, false, false); // frames [0, 100), one buffer
    EXPECT_EQ(Drain(plan, 4096), (Outputs{{4096, 0, 100 * 4096, 4096}}));
    // Frames [100, 400), two buffers' worth, in buffers of 3000 bytes: 300 / 8192 frame a byte.
    plan.PlanGroup(400, 9000, false, false);
    EXPECT_EQ(Drain(plan, 3000),
              (Outputs{{3000, 100 * 8192, 100 * 8192 + 300 * 3000, 8192},
                       {3000, 100 * 8192 + 300 * 3000, 100 * 8192 + 300 * 6000, 8192},
                       {2192, 100 * 8192 + 300 * 6000, 400 * 8192, 8192}}));
    plan.PlanGroup(1000, 5000, true, false); // the last: one buffer goes, 904 bytes wait
    EXPECT_EQ(Drain(plan, 5000), (Outputs{{4096, 400 * 4096, 1000 * 4096, 4096}}));

    plan.Start(500, 4096);
    plan.PlanGroup(200, 5000, false, false);
    EXPECT_EQ(Drain(plan, 4096), (Outputs{{4096, 0, 200 * 4096, 4096}}));
    plan.PlanGroup(600, 0, true, false); // nothing made: one empty output reaches the stop
    EXPECT_EQ(Drain(plan, 4096), (Outputs{{0, 200, 500, 1}}));

    // A buffer of no bytes (or less) takes nothing, stands for no frames and leaves the group open.
    plan.Start(10, 4096);
    plan.PlanGroup(10, 1, true, false);
    for (const int32_t cbMax : {0, -1}) {
        EXPECT_EQ(Of(plan.Next(cbMax)), (Slot{0, 0, 0, 1})) << cbMax;
        EXPECT_TRUE(plan.GroupOpen());
    }
    EXPECT_EQ(Drain(plan, 4096), (Outputs{{1, 0, 10, 1}}));

    plan.Start(300, 4096);
    plan.PlanGroup(300, 10000, true, true);
    EXPECT_EQ(Drain(plan, 4096), (Outputs{{4096, 0, 300 * 4096, 10000},
                                          {4096, 300 * 4096, 300 * 8192, 10000},
                                          {1808, 300 * 8192, 300 * 10000, 10000}}));
}

} // namespace
