#include "StampClock.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
using Span = std::array<int64_t, 4>; // tStart, tStop, mtStart, mtStop

SampleStamps In(int64_t t0, int64_t t1, int64_t mt0, int64_t mt1, bool bStop = true) {
    return SampleStamps{true, bStop, t0, t1, true, mt0, mt1};
}

// The stamps of a fully stamped output; any missing one fails.
Span Stamped(const SampleStamps& s) {
    EXPECT_TRUE(s.bTime && s.bStop && s.bMedia);
    return {s.tStart, s.tStop, s.mtStart, s.mtStop};
}

bool Unstamped(const SampleStamps& s) {
    return !s.bTime && !s.bStop && !s.bMedia;
}

TEST(StampClock, AnchorsAtTheFirstStartAfterAResetOnly) {
    StampClock clock;
    const SampleStamps noTime;
    EXPECT_TRUE(Unstamped(clock.Next(441, 44100, 4)));
    clock.AnchorAt(noTime, MediaUnit::Frames, 44100, 4);
    EXPECT_FALSE(clock.Anchored());
    EXPECT_TRUE(Unstamped(clock.Next(441, 44100, 4)));
    clock.AnchorAt(In(1000000, 2000000, 500, 941), MediaUnit::Frames, 44100, 4);
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{1000000, 1100000, 500, 941}));
    clock.AnchorAt(In(9000000, 9100000, 7000, 7441), MediaUnit::Frames, 44100, 4); // not pending
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{1100000, 1200000, 941, 1382}));
    EXPECT_TRUE(Unstamped(clock.Next(441, 0, 4)));

    clock.Reset(); // a flush without a new segment: the next input re-anchors
    EXPECT_TRUE(Unstamped(clock.Next(441, 44100, 4)));
    clock.AnchorAt(noTime, MediaUnit::Frames, 44100, 4);
    EXPECT_TRUE(Unstamped(clock.Next(441, 44100, 4)));
    clock.AnchorAt(In(9000000, 9100000, 7000, 7441), MediaUnit::Frames, 44100, 4);
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{9000000, 9100000, 7000, 7441}));
}

TEST(StampClock, FollowsItsInputsUntilAnOutputIsStretched) {
    StampClock clock;
    EXPECT_TRUE(clock.Following()); // nothing stretched yet
    const SampleStamps a = In(0, 10000000, 0, 44100);
    EXPECT_FALSE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4)); // unanchored
    clock.AnchorAt(a, MediaUnit::Frames, 44100, 4);
    EXPECT_TRUE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{10000000, 10100000, 44100, 44541}));
    // Without a stop, the input lasts its frames; after a gap, the clock moves with the input.
    const SampleStamps b = In(12000000, 0, 50000, 72050, false);
    EXPECT_TRUE(clock.FollowInput(b, 22050, MediaUnit::Frames, 44100, 4));
    clock.StopFollowing();
    EXPECT_FALSE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{17000000, 17100000, 72050, 72491}));
    EXPECT_FALSE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    clock.Reset();
    EXPECT_FALSE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    clock.AnchorAt(a, MediaUnit::Frames, 44100, 4);
    EXPECT_TRUE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    // An input without a start time ends following too.
    EXPECT_FALSE(clock.FollowInput(SampleStamps{}, 441, MediaUnit::Frames, 44100, 4));
    EXPECT_FALSE(clock.FollowInput(a, 44100, MediaUnit::Frames, 44100, 4));
    EXPECT_FALSE(clock.Following());
}

TEST(StampClock, OutputsJoinWithoutAccumulatedRounding) {
    struct Case {
        uint32_t rate;
        int64_t frames, stop; // 1000 outputs of frames end at stop
    } cases[] = {{44100, 441, 100000000}, {44100, 440, 99773242}, {48000, 1001, 208541666}};
    for (const Case& c : cases) {
        StampClock clock;
        clock.AnchorAt(In(5000, 0, 0, 0), MediaUnit::None, c.rate, 4);
        int64_t t = 5000;
        for (int i = 0; i < 1000; ++i) {
            const SampleStamps out = clock.Next(c.frames, c.rate, 4);
            ASSERT_TRUE(out.bTime && out.bStop && !out.bMedia);
            ASSERT_EQ(out.tStart, t) << c.rate << " " << c.frames << " #" << i;
            t = out.tStop;
        }
        EXPECT_EQ(t, 5000 + c.stop) << c.rate << " " << c.frames;
    }
}

TEST(StampClock, MediaTimesCountInTheInputsUnit) {
    struct Case {
        MediaUnit unit;
        int64_t mt1, mt2; // media stops after one and two outputs of 1001 frames
    } cases[] = {{MediaUnit::Frames, 300 + 1001, 300 + 2002},
                 {MediaUnit::Bytes, 300 + 6006, 300 + 12012},
                 {MediaUnit::Time, 300 + 208541, 300 + 417083}};
    for (const Case& c : cases) {
        StampClock clock;
        clock.AnchorAt(In(1000, 0, 300, 0), c.unit, 48000, 6);
        EXPECT_EQ(Stamped(clock.Next(1001, 48000, 6)), (Span{1000, 1000 + 208541, 300, c.mt1}));
        EXPECT_EQ(Stamped(clock.Next(1001, 48000, 6)),
                  (Span{1000 + 208541, 1000 + 417083, c.mt1, c.mt2}));
    }
}

TEST(StampClock, FramesBeforeAFormatChangeKeepTheOldFormat) {
    StampClock clock;
    clock.AnchorAt(In(1000000, 0, 0, 0), MediaUnit::Time, 44100, 4);
    EXPECT_EQ(Stamped(clock.Next(22050, 44100, 4)), (Span{1000000, 6000000, 0, 5000000}));
    EXPECT_EQ(Stamped(clock.Next(480, 48000, 4)), (Span{6000000, 6100000, 5000000, 5100000}));
    EXPECT_EQ(Stamped(clock.Next(480, 48000, 4)), (Span{6100000, 6200000, 5100000, 5200000}));

    clock.Reset();
    clock.AnchorAt(In(0, 0, 1000, 0), MediaUnit::Bytes, 44100, 4);
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 4)), (Span{0, 100000, 1000, 1000 + 1764}));
    EXPECT_EQ(Stamped(clock.Next(441, 44100, 8)),
              (Span{100000, 200000, 1000 + 1764, 1000 + 1764 + 3528}));
}

TEST(StampClock, HostileStampsSaturate) {
    StampClock clock;
    clock.AnchorAt(In(kMax - 10, 0, kMax - 3, 0), MediaUnit::Bytes, 44100, 4);
    EXPECT_EQ(Stamped(clock.Next(44100, 44100, 4)), (Span{kMax - 10, kMax, kMax - 3, kMax}));
    EXPECT_EQ(Stamped(clock.Next(44100, 44100, 4)), (Span{kMax, kMax, kMax, kMax}));
}

TEST(StampClock, MediaUnitIsToldByTheSpan) {
    struct Case {
        bool bMedia;
        int64_t mt0, mt1, frames;
        int32_t blockAlign;
        bool bTime;
        int64_t t0, t1;
        MediaUnit want;
    } cases[] = {
        {true, 100, 541, 441, 4, true, 0, 100000, MediaUnit::Frames},
        {true, 100, 1864, 441, 4, true, 0, 100000, MediaUnit::Bytes},
        {true, 100, 101, 1, 4, true, 0, 226, MediaUnit::Frames},
        {true, 100, 541, 441, 1, true, 0, 100000, MediaUnit::Frames}, // 8-bit mono
        {true, 100, 100100, 441, 4, true, 0, 100000, MediaUnit::Time},
        {true, 100, 100100, 441, 4, false, 0, 100000, MediaUnit::None},
        {true, 100, 99, 441, 4, true, 0, 100000, MediaUnit::None},
        {false, 100, 541, 441, 4, true, 0, 100000, MediaUnit::None},
        {true, 100, 100, 0, 4, true, 0, 0, MediaUnit::None},
        {true, 100, 541, 441, 0, true, 0, 100000, MediaUnit::None},
        // Spans too long for int64_t saturate, and a saturated span matches nothing.
        {true, kMin, 440, 441, 4, true, 0, 100000, MediaUnit::None},
        {true, kMin, kMax, 441, 4, true, kMin, kMax, MediaUnit::None},
        {true, kMax, kMin, 441, 4, true, kMax, kMin, MediaUnit::None},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MediaUnitOf(c.bMedia, c.mt0, c.mt1, c.frames, c.blockAlign, c.bTime, c.t0, c.t1),
                  c.want)
            << c.mt0 << ".." << c.mt1 << " " << c.frames << " " << c.blockAlign;
}

} // namespace
