#include "MediaTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(MediaTime, FramesToTimeRoundsDownWithoutOverflow) {
    EXPECT_EQ(FramesToTime(44100, 44100), kUnitsPerSecond);
    EXPECT_EQ(FramesToTime(1, 44100), 226); // 226.76
    EXPECT_EQ(FramesToTime(1001000, 48000), 208541666);
    EXPECT_EQ(FramesToTime(12345, 0), 0);
    // A year at 192 kHz: n * 10^7 alone would overflow.
    const int64_t n = int64_t(192000) * 86400 * 365 + 191999;
    EXPECT_EQ(FramesToTime(n, 192000), 315360009999947);
}

TEST(MediaTime, SaturatingAddAndSubClampAtTheEdges) {
    EXPECT_EQ(SaturatingAdd(-5, 3), -2);
    EXPECT_EQ(SaturatingAdd(kMax - 2, 1), kMax - 1);
    EXPECT_EQ(SaturatingAdd(kMax - 1, 2), kMax);
    EXPECT_EQ(SaturatingAdd(kMin + 1, -2), kMin);
    EXPECT_EQ(SaturatingAdd(kMax, kMin), -1);
    EXPECT_EQ(SaturatingSub(-5, 3), -8);
    EXPECT_EQ(SaturatingSub(-1, kMin), kMax);
    EXPECT_EQ(SaturatingSub(0, kMin), kMax);
    EXPECT_EQ(SaturatingSub(kMin + 1, 2), kMin);
    EXPECT_EQ(SaturatingSub(kMax, kMax), 0);
}

TEST(MediaTime, MulDivRoundIsExactAndRoundsHalvesUp) {
    EXPECT_EQ(MulDivRound(1, 1, 2), 1u);
    EXPECT_EQ(MulDivRound(3, 1, 2), 2u);
    EXPECT_EQ(MulDivRound(1, 1, 3), 0u);
    EXPECT_EQ(MulDivRound(2, 1, 3), 1u);
    EXPECT_EQ(MulDivRound(uint64_t(1) << 63, 4, 8), uint64_t(1) << 62);
    const uint64_t all = ~uint64_t(0);
    EXPECT_EQ(MulDivRound(all, all, all), all);
}

#ifdef __SIZEOF_INT128__
// Against a reference of the compiler's own 128-bit arithmetic.
TEST(MediaTime, MulDivRoundMatchesA128BitReference) {
    __extension__ typedef unsigned __int128 u128;
    std::mt19937_64 rng(7);
    int checked = 0;
    for (int i = 0; i < 4000; ++i) {
        // Magnitudes spread over the whole range, so that every half of the product is used.
        const uint64_t x = rng() >> (rng() % 64), y = rng() >> (rng() % 64);
        const uint64_t c = std::max<uint64_t>(rng() >> (rng() % 64), 1);
        const u128 want = (u128(x) * y + c / 2) / c;
        if (want >> 64)
            continue; // out of contract
        ++checked;
        ASSERT_EQ(MulDivRound(x, y, c), uint64_t(want)) << x << " " << y << " " << c;
    }
    EXPECT_GT(checked, 1000);
}
#endif

TEST(MediaTime, TimeAtRoundsHalvesAwayFromTheStartAndClampsToTheSpan) {
    struct Case {
        int64_t a, b, num, den, want;
    } cases[] = {
        {0, 10, 1, 4, 3},
        {0, 10, 1, 3, 3},
        {0, 10, 2, 3, 7},
        {100, 101, 1, 2, 101},
        {-10, 0, 1, 4, -7},
        {5, 9, 0, 4, 5},
        {5, 9, 4, 4, 9},
        {5, 9, 7, 4, 9},
        {5, 9, -1, 4, 5},
        {5, 9, 1, 0, 5},
        {5, 9, -1, -1, 5},
        {9, 5, 1, 2, 9},
        {7, 7, 1, 2, 7},
        {4500000000000000000, kMin, 1, 2, 4500000000000000000},
        {kMin, kMax, 1, 2, 0}, // exact midpoint -0.5
        {kMin, kMax, 1, 4, -(int64_t(1) << 62)},
        {kMin, kMax, (int64_t(1) << 62) - 1, int64_t(1) << 62, kMax - 4},
        {kMin, kMax, (int64_t(1) << 61) + 1, (int64_t(1) << 62) + 3, -2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimeAt(c.a, c.b, c.num, c.den), c.want)
            << c.a << " " << c.b << " " << c.num << "/" << c.den;
}

} // namespace
