#include "StretchTuning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

TEST(StretchTuning, BandBoundsAreTestedInRowOrder) {
    const struct {
        double tempo;
        const char* key;
    } cases[] = {
        {1.0, "1.0"},  {0.5, "1.0"},          {1.0000001, "1.2"},
        {1.2, "1.2"},  {1.21, "1.4"},         {1.4, "1.4"},
        {1.5, "1.6"},  {1.6, "1.6"},          {1.7, "1.8"},
        {1.8, "1.8"},  {1.81, "2.0"},         {3.0, "2.0"},
        {-1.0, "1.0"}, {std::nan(""), "1.0"}, {std::numeric_limits<double>::infinity(), "2.0"}};
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(SelectStretchBand(c.tempo).key), c.key) << c.tempo;
    }
    const StretchBand& b = SelectStretchBand(1.5);
    EXPECT_EQ(StretchTuningText(b.tuning), "66,14,12");
    EXPECT_EQ(b.tuning.sequenceMs, 66);
    EXPECT_EQ(SelectStretchBand(2.0).tuning.sequenceMs, 56);
    EXPECT_EQ(SelectStretchBand(1.0).tuning.sequenceMs, 82);
}

struct Triple {
    int32_t seq, seek, overlap;
    bool operator==(const Triple& o) const {
        return seq == o.seq && seek == o.seek && overlap == o.overlap;
    }
};

Triple Parse(const char* text, double tempo = 1.0) {
    StretchTuning t{1, 2, 3}; // distinct preloads show which outputs were kept
    ParseStretchTuning(text, SelectStretchBand(tempo), t);
    return Triple{t.sequenceMs, t.seekWindowMs, t.overlapMs};
}

TEST(StretchTuning, ParsesFieldsLikeTheSettingsFileWrites) {
    EXPECT_EQ(Parse("66,14,12"), (Triple{66, 14, 12}));
    EXPECT_EQ(Parse("82,,12"), (Triple{82, 12, 3})); // the empty field is skipped
    EXPECT_EQ(Parse("70"), (Triple{70, 2, 3}));
    EXPECT_EQ(Parse(""), (Triple{1, 2, 3}));
    EXPECT_EQ(Parse(",,,"), (Triple{1, 2, 3}));
    EXPECT_EQ(Parse(nullptr), (Triple{1, 2, 3}));
    EXPECT_EQ(Parse("abc,5,6"), (Triple{0, 5, 6}));              // no digits: 0
    EXPECT_EQ(Parse("  66 ,14ms, 12,99"), (Triple{66, 14, 12})); // blanks, suffix, extra field
    EXPECT_EQ(Parse("0,0,0"), (Triple{0, 0, 0}));                // engine's automatic choice
}

TEST(StretchTuning, NumbersTheEngineCannotTakeFallBackToTheBandDefault) {
    EXPECT_EQ(Parse("-5,14,-1", 1.5), (Triple{66, 14, 12}));
    EXPECT_EQ(Parse("1000,1001,99999999999999999999", 2.0), (Triple{1000, 14, 12}));
    EXPECT_EQ(Parse("40,-3", 1.0), (Triple{40, 14, 3}));
}

TEST(StretchTuning, SpeedFactorToPercentTruncatesTowardZero) {
    EXPECT_EQ(SpeedFactorToPercent(1.15), 14);
    EXPECT_EQ(SpeedFactorToPercent(0.99), -1);
    EXPECT_EQ(SpeedFactorToPercent(0.995), 0);
    EXPECT_EQ(SpeedFactorToPercent(1.0), 0);
    EXPECT_EQ(SpeedFactorToPercent(1.5), 50);
    EXPECT_EQ(SpeedFactorToPercent(0.05), -95);
    EXPECT_EQ(SpeedFactorToPercent(0.55), -44);
    EXPECT_EQ(SpeedFactorToPercent(2.01), 100);
    EXPECT_EQ(SpeedFactorToPercent(0.0), -100);
    EXPECT_EQ(SpeedFactorToPercent(std::nan("")), 0);
    EXPECT_EQ(SpeedFactorToPercent(1e300), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(SpeedFactorToPercent(-std::numeric_limits<double>::infinity()),
              std::numeric_limits<int32_t>::min());
}

} // namespace
