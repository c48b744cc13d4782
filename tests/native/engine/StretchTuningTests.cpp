#include "StretchTuning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// A factor typed with at most two decimals applies exactly its percent; one with more is taken
// to the millionth and cut toward zero. The doubles of 1.15, 1.2 and 2.01 lie just below their
// decimals, 0.55 just above: plain arithmetic on them lost a whole percent (1.15 applied 14).
TEST(StretchTuning, SpeedFactorToPercentCountsWholePercentExactly) {
    const struct {
        double factor;
        int32_t percent;
    } cases[] = {{1.15, 15},   {1.2, 20},        {0.55, -45},    {2.01, 101},    {0.05, -95},
                 {0.63, -37},  {0.64, -36},      {1.56, 56},     {1.57, 57},     {1.0, 0},
                 {1.5, 50},    {50.0, 4900},     {1.155, 15},    {0.995, 0},     {0.99, -1},
                 {0.639, -36}, {1.0099, 0},      {1.0099999, 1}, {0.9999994, 0}, {0.0, -100},
                 {-0.5, -150}, {std::nan(""), 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(SpeedFactorToPercent(c.factor), c.percent) << c.factor;
    }
    // Saturation at the int32 ends, exact up to them.
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(SpeedFactorToPercent(21474837.46), max - 1);
    EXPECT_EQ(SpeedFactorToPercent(21474837.47), max);
    EXPECT_EQ(SpeedFactorToPercent(21474837.48), max);
    EXPECT_EQ(SpeedFactorToPercent(1e300), max);
    EXPECT_EQ(SpeedFactorToPercent(std::numeric_limits<double>::infinity()), max);
    EXPECT_EQ(SpeedFactorToPercent(-21474835.47), min + 1);
    EXPECT_EQ(SpeedFactorToPercent(-21474835.48), min);
    EXPECT_EQ(SpeedFactorToPercent(-21474835.49), min);
    EXPECT_EQ(SpeedFactorToPercent(-std::numeric_limits<double>::infinity()), min);
}

// Every factor a user can type with two decimals in the accepted range, 0.05 to 50.00, read as
// the C library reads the typed text. tests/windows walks the same on both Windows modules.
TEST(StretchTuning, EveryTwoDecimalFactorAppliesItsPercent) {
    int wrong = 0;
    for (int hundredths = 5; hundredths <= 5000; ++hundredths) {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%02d", hundredths / 100, hundredths % 100);
        const double factor = std::strtod(text, nullptr);
        const int32_t percent = SpeedFactorToPercent(factor);
        if (percent != hundredths - 100 && ++wrong <= 10) {
            ADD_FAILURE() << text << " gives " << percent << ", expected " << hundredths - 100;
        }
    }
    EXPECT_EQ(wrong, 0);
}

} // namespace
