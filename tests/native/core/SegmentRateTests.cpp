#include "SegmentRate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
const double kNaN = std::nan("");
const double kInf = std::numeric_limits<double>::infinity();

SegmentRate At(double dRate) {
    SegmentRate segment;
    segment.Start(dRate);
    return segment;
}

TEST(SegmentRate, TakesTheFactorRangeAndPassesOtherRatesOnAsTheyAre) {
    for (const double taken : {0.05, 0.5, 1.25, 50.0}) {
        SCOPED_TRACE(taken);
        EXPECT_EQ(At(taken).Rate(), taken);
        EXPECT_EQ(At(taken).DownstreamRate(taken), 1.0);
    }
    for (const double passed : {0.0499, 50.0001, 0.0, -1.0, -2.0, kInf, -kInf}) {
        SCOPED_TRACE(passed);
        const SegmentRate segment = At(passed);
        EXPECT_EQ(segment.Rate(), 1.0);
        EXPECT_FALSE(segment.Scales());
        EXPECT_EQ(segment.DownstreamRate(passed), passed);
        EXPECT_EQ(segment.ToStreamTime(1234567), 1234567);
    }
    EXPECT_TRUE(std::isnan(At(kNaN).DownstreamRate(kNaN)));
    EXPECT_EQ(At(kNaN).Rate(), 1.0);
    EXPECT_FALSE(At(1.0).Scales());
    EXPECT_TRUE(At(0.99).Scales());
    // A rate not taken ends the one before it.
    SegmentRate segment = At(2.0);
    segment.Start(-1.0);
    EXPECT_EQ(segment.ToStreamTime(1000000), 1000000);
}

TEST(SegmentRate, StampsGoToTheStreamsTimeToTheNearestUnit) {
    EXPECT_EQ(At(1.25).ToStreamTime(1000000), 800000);
    EXPECT_EQ(At(1.25).ToStreamTime(-1000000), -800000);
    EXPECT_EQ(At(0.5).ToStreamTime(1000000), 2000000);
    EXPECT_EQ(At(1.5).ToStreamTime(333333), 222222);
    EXPECT_EQ(At(1.5).ToStreamTime(3333334), 2222223); // 2222222.67
    EXPECT_EQ(At(3.0).ToStreamTime(10), 3);
    EXPECT_EQ(At(3.0).ToStreamTime(5), 2);
    // Halves away from zero, alike on both sides.
    EXPECT_EQ(At(2.0).ToStreamTime(3), 2);
    EXPECT_EQ(At(2.0).ToStreamTime(-3), -2);
    EXPECT_EQ(At(2.0).ToStreamTime(0), 0);
    // The rate in exact millionths: 1.1 is 1100000, not the double just above it.
    EXPECT_EQ(At(1.1).ToStreamTime(11000000), 10000000);
}

TEST(SegmentRate, StampsClampAtTheEndsOfTheRangeInsteadOfWrapping) {
    EXPECT_EQ(At(2.0).ToStreamTime(kMin), kMin / 2);
    EXPECT_EQ(At(2.0).ToStreamTime(kMax), kMax / 2 + 1); // .5 rounds away from zero
    EXPECT_EQ(At(50.0).ToStreamTime(kMax), 184467440737095516);
    // At 0.5 the last stamp that doubles into the range, and the first that does not.
    EXPECT_EQ(At(0.5).ToStreamTime(4611686018427387903), 9223372036854775806);
    EXPECT_EQ(At(0.5).ToStreamTime(4611686018427387904), kMax);
    EXPECT_EQ(At(0.5).ToStreamTime(-4611686018427387903), -9223372036854775806);
    EXPECT_EQ(At(0.5).ToStreamTime(-4611686018427387904), kMin);
    EXPECT_EQ(At(0.05).ToStreamTime(kMax), kMax);
    EXPECT_EQ(At(0.05).ToStreamTime(kMin), kMin);
    EXPECT_EQ(At(0.05).ToStreamTime(-1), -20);
}

TEST(SegmentRate, CombinedTempoIsTheProductInHundredthsWithinTheEnvelope) {
    bool bClamped = true;
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.0, 1.25, 100, 0, &bClamped), 125);
    EXPECT_FALSE(bClamped);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.1, 1.5, 100, 0), 165);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(0.5, 2.0, 100, 0), 100);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(0.75, 0.5, 250, 3), 38); // 0.375 cut toward 1.0
    // A rate the mode does not take leaves the tempo set.
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.5, 0.0, 100, 0, &bClamped), 150);
    EXPECT_FALSE(bClamped);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.5, kNaN, 100, 0), 150);
    // Beyond the factor range: its ends.
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(40.0, 2.0, 100, 0, &bClamped), 5000);
    EXPECT_TRUE(bClamped);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(0.05, 0.5, 100, 0, &bClamped), 5);
    EXPECT_TRUE(bClamped);
    // Inside the range but not the envelope at the pitch: the nearest tempo that is. At +60
    // semitones the stretch is tempo / 32, at least 0.02: tempo 0.64 and up.
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(0.7, 0.5, 100, 60, &bClamped), 64);
    EXPECT_TRUE(bClamped);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(0.05, 1.0, 100, 60), 64); // from the range's end
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.0, 0.64, 100, 60, &bClamped), 64);
    EXPECT_FALSE(bClamped);
    // At -60 the stretch is tempo x 32, at most 50: tempo 1.56 and below.
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(1.5, 1.25, 100, -60, &bClamped), 156);
    EXPECT_TRUE(bClamped);
    EXPECT_EQ(SegmentRate::CombinedTempoHundredths(50.0, 50.0, 100, -60), 156);
}

} // namespace
