#include "OwedOutput.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(OwedOutput, TheTailRoundsToTheNearestFrame) {
    struct Case {
        int64_t frames;
        double ratio;
        int64_t taken, owed;
    } cases[] = {
        {3, 0.5, 0, 2},        {5, 0.5, 0, 3},        {5, 0.5, 1, 2},   {100, 1.0049, 0, 100},
        {100, 1.0051, 0, 101}, {100, 1.0051, 90, 11}, {10, 1.0, 12, 0},
    };
    for (const Case& c : cases) {
        OwedOutput owed;
        owed.Fed(c.frames, c.ratio);
        owed.Taken(c.taken);
        EXPECT_EQ(owed.OwedFrames(), c.owed) << c.frames << " x " << c.ratio << " - " << c.taken;
        EXPECT_EQ(owed.EngineOwedFrames(0), c.owed) << c.frames << " x " << c.ratio;
    }
}

TEST(OwedOutput, ASpeedChangeRescalesOnlyWhatTheEngineHolds) {
    OwedOutput owed;
    owed.Fed(1000, 2.0);
    owed.Taken(500);
    EXPECT_EQ(owed.EngineOwedFrames(300), 1200);
    EXPECT_EQ(owed.HeldInputFrames(300, 2.0), 600.0);
    EXPECT_EQ(owed.HeldInputFrames(300, 4.0), 300.0);
    EXPECT_EQ(owed.HeldInputFrames(300, 0.0), 0.0);
    owed.Rescale(300, 2.0, 0.5); // 600 held input frames make 300 from now on
    EXPECT_EQ(owed.ExpectedFrames(), 800.0 + 300.0);
    EXPECT_EQ(owed.EngineOwedFrames(300), 300);
    EXPECT_EQ(owed.OwedFrames(), 600);
    const std::pair<double, double> ignored[] = {{0.0, 1.0}, {1.0, -1.0}, {0.5, 0.0}, {0.5, 0.5}};
    for (const auto& [from, to] : ignored) {
        owed.Rescale(300, from, to);
        EXPECT_EQ(owed.ExpectedFrames(), 1100.0) << from << " -> " << to;
    }
    owed.Taken(300);
    owed.Fed(100, 0.5);
    EXPECT_EQ(owed.OwedFrames(), 350);
    owed.Rescale(100, 0.5, 3.0); // 250 owed output = 500 input frames make 1500
    EXPECT_EQ(owed.OwedFrames(), 100 + 1500);
    owed.Taken(1600);
    EXPECT_EQ(owed.OwedFrames(), 0);
}

TEST(OwedOutput, NothingHeldOrAheadIsNotRescaled) {
    OwedOutput owed;
    owed.Fed(500, 2.0);
    owed.Taken(600);
    EXPECT_EQ(owed.HeldInputFrames(400, 2.0), 0.0);
    owed.Rescale(400, 2.0, 0.5);
    EXPECT_EQ(owed.ExpectedFrames(), 1000.0);
    // The engine made more than its account: it owes nothing, and a change keeps the account.
    EXPECT_EQ(owed.EngineOwedFrames(500), 0);
    EXPECT_EQ(owed.HeldInputFrames(500, 2.0), 0.0);
    owed.Rescale(500, 2.0, 0.5);
    EXPECT_EQ(owed.ExpectedFrames(), 1000.0);
    EXPECT_EQ(owed.OwedFrames(), 400);
}

// Less than a frame either way is not rounded away: ratios below 1 make it whole input frames.
TEST(OwedOutput, AFractionOfAFrameOwedOrAheadCounts) {
    OwedOutput owed;
    owed.Fed(1, 0.5); // half an output frame owed
    EXPECT_EQ(owed.HeldInputFrames(0, 0.5), 1.0);
    owed.Rescale(0, 0.5, 2.0);
    EXPECT_EQ(owed.ExpectedFrames(), 2.0);
    owed.Reset();
    owed.Fed(3, 0.5);
    owed.Taken(2); // the engine is half a frame ahead
    EXPECT_EQ(owed.HeldInputFrames(0, 0.5), 0.0);
    owed.Rescale(0, 0.5, 2.0);
    EXPECT_EQ(owed.ExpectedFrames(), 1.5);
}

TEST(OwedOutput, SettleAndReset) {
    OwedOutput owed;
    owed.Fed(1000, 2.0);
    owed.Taken(500);
    owed.Settle(300); // what the splice made is what was owed
    EXPECT_EQ(owed.OwedFrames(), 300);
    EXPECT_EQ(owed.EngineOwedFrames(300), 0);
    owed.Fed(10, 1.5);
    EXPECT_EQ(owed.EngineOwedFrames(300), 15);
    owed.Reset();
    EXPECT_EQ(owed.TakenFrames(), 0);
    owed.Fed(10, 1.0);
    EXPECT_EQ(owed.OwedFrames(), 10);
}

} // namespace
