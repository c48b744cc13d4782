// The kit's speed envelope and factor rule (velomix_speed.h), the code the engine judges with,
// held against big-integer arithmetic that shares nothing with its fixed-point table.
#include "SpeedProcessor.h"
#include "StretchTuning.h"
#include "velomix_speed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <vector>

extern "C" int VelomixEnvelopeFromC(int32_t tempo, int32_t rate, int32_t pitch);
extern "C" int32_t VelomixHundredthsFromC(double factor);

namespace {

// An unsigned integer of any size, little-endian 32-bit limbs: as much as the reference needs.
class BigNumber {
public:
    explicit BigNumber(uint32_t value) : limbs_{value} {}
    BigNumber& Multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs_) {
            const uint64_t product = uint64_t{limb} * factor + carry;
            limb = static_cast<uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0)
            limbs_.push_back(static_cast<uint32_t>(carry));
        return *this;
    }
    BigNumber& Power(uint32_t base, int exponent) {
        for (int i = 0; i < exponent; ++i)
            Multiply(base);
        return *this;
    }
    friend int Compare(BigNumber a, BigNumber b) {
        a.Trim();
        b.Trim();
        if (a.limbs_.size() != b.limbs_.size())
            return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i])
                return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
        return 0;
    }

private:
    void Trim() {
        while (limbs_.size() > 1 && limbs_.back() == 0)
            limbs_.pop_back();
    }
    std::vector<uint32_t> limbs_;
};

// The sign of x - k x 2^(m/12), from x^12 against k^12 x 2^m with every factor of two on the
// side where its exponent is positive.
int ExactCompare(int32_t x, int32_t k, int32_t m) {
    BigNumber left(1), right(1);
    left.Power(static_cast<uint32_t>(x), 12).Power(2, m < 0 ? -m : 0);
    right.Power(static_cast<uint32_t>(k), 12).Power(2, m > 0 ? m : 0);
    return Compare(left, right);
}

// The values x in 0..5000 with x >= k x 2^(m/12) (for below = false) or x <= k x 2^(m/12)
// (below = true) form one span; its first and last value, found by bisection on the reference.
struct Span {
    int32_t first, last;
};
Span ExactRun(int32_t k, int32_t m, bool below) {
    int32_t lo = 0, hi = 5001; // the boundary lies in [lo, hi)
    while (hi - lo > 1) {
        const int32_t mid = (lo + hi) / 2;
        const int sign = ExactCompare(mid, k, m);
        if (below ? sign <= 0 : sign < 0)
            lo = mid;
        else
            hi = mid;
    }
    // lo: the last value below (or at, for below) the bound; 0 may itself lie above it.
    const bool loIn = below ? ExactCompare(lo, k, m) <= 0 : ExactCompare(lo, k, m) >= 0;
    if (below)
        return {0, loIn ? lo : -1};
    return {loIn ? lo : hi, 5000};
}

// T = tempo / 2^(n/12) within 2..5000 hundredths, bounds included: tempo within 2 x 2^(n/12) ..
// 5000 x 2^(n/12). R = rate x 2^(n/12) likewise: rate within the bounds x 2^(-n/12).
Span ExactStage(int32_t m) {
    return {ExactRun(2, m, false).first, ExactRun(5000, m, true).last};
}

// How the envelope was judged before it was done in integers: in doubles, with exp2.
bool DoubleJudgement(int32_t tempo, int32_t rate, int32_t pitch) {
    const int32_t octaves = (pitch >= 0 ? pitch : pitch - 11) / 12;
    const int32_t semitones = pitch - 12 * octaves;
    const double shift = std::ldexp(std::exp2(semitones / 12.0), octaves);
    const double stretch = tempo / shift;
    const double resample = rate * shift;
    return stretch >= 2.0 && stretch <= 5000.0 && resample >= 2.0 && resample <= 5000.0;
}

// Factor 1.0 lies inside with any tempo or rate at any pitch (100 / 32 >= 2, 100 x 32 <= 5000),
// so each stage is walked alone with the other at 100.
constexpr int32_t kNormal = 100;

// Every tempo and every rate the filter can hold, at every pitch, each stage against the
// reference; the engine's whole-percent door and the C compilation of the same header agree;
// the bounds are reached exactly at whole octaves only.
TEST(SpeedEnvelope, EveryTempoAndRateAtEveryPitchIsJudgedExactly) {
    int wrong = 0;
    int doubleDisagrees = 0;
    int inside = 0;
    for (int32_t pitch = VELOMIX_PITCH_MIN; pitch <= VELOMIX_PITCH_MAX; ++pitch) {
        const Span tempos = ExactStage(pitch);
        const Span rates = ExactStage(-pitch);
        for (int32_t value = VELOMIX_HUNDREDTHS_MIN; value <= VELOMIX_HUNDREDTHS_MAX; ++value) {
            const bool stretch = value >= tempos.first && value <= tempos.last;
            const bool resample = value >= rates.first && value <= rates.last;
            inside += (stretch ? 1 : 0) + (resample ? 1 : 0);
            const bool answers[][2] = {
                {velomix_in_speed_envelope(value, kNormal, pitch) != 0, stretch},
                {velomix_in_speed_envelope(kNormal, value, pitch) != 0, resample},
                {CSpeedProcessor::IsInSpeedEnvelope(value - 100, 0, pitch), stretch},
                {CSpeedProcessor::IsInSpeedEnvelope(0, value - 100, pitch), resample},
                {VelomixEnvelopeFromC(value, kNormal, pitch) != 0, stretch},
                {VelomixEnvelopeFromC(kNormal, value, pitch) != 0, resample},
            };
            for (const auto& answer : answers) {
                if (answer[0] != answer[1] && ++wrong <= 10)
                    ADD_FAILURE() << value << " at " << pitch << ": " << answer[0];
            }
            if (DoubleJudgement(value, kNormal, pitch) != stretch ||
                DoubleJudgement(kNormal, value, pitch) != resample) {
                ++doubleDisagrees;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    // The doubles were right everywhere: the integers change no answer.
    EXPECT_EQ(doubleDisagrees, 0);
    // Not vacuous: the count of inside cases, from the reference's thresholds per pitch.
    EXPECT_EQ(inside, 770192);
}

// Where the stages meet their bounds: reached exactly at whole octaves, between two hundredths
// elsewhere (at 59 semitones 2 x 2^(59/12) is 60.4).
TEST(SpeedEnvelope, BoundsAreInclusiveAtWholeOctaves) {
    const struct {
        int32_t tempo, rate, pitch;
        int inside;
    } cases[] = {
        {5, 100, 0, 1},     {5000, 5000, 0, 1}, {5, 5000, 0, 1},    {100, 2500, 12, 1},
        {100, 2501, 12, 0}, {64, 100, 60, 1},   {63, 100, 60, 0},   {100, 156, 60, 1},
        {100, 157, 60, 0},  {156, 100, -60, 1}, {157, 100, -60, 0}, {100, 64, -60, 1},
        {100, 63, -60, 0},  {8, 100, 24, 1},    {7, 100, 24, 0},    {61, 100, 59, 1},
        {60, 100, 59, 0},   {100, 61, -59, 1},  {100, 60, -59, 0},  {100, 4719, 1, 1},
        {100, 4720, 1, 0},  {4719, 100, -1, 1}, {4720, 100, -1, 0}, {5, 5, -60, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(velomix_in_speed_envelope(c.tempo, c.rate, c.pitch), c.inside)
            << c.tempo << " " << c.rate << " " << c.pitch;
    }
}

// Out of range is outside, whatever the combination, at the int32 ends too.
TEST(SpeedEnvelope, ValuesOutOfRangeAreOutside) {
    const int32_t big = std::numeric_limits<int32_t>::max();
    const int32_t small = std::numeric_limits<int32_t>::min();
    for (const auto& c : std::vector<std::tuple<int32_t, int32_t, int32_t>>{{4, 100, -12},
                                                                            {5001, 100, 0},
                                                                            {100, 4, 0},
                                                                            {100, 5001, -1},
                                                                            {100, 100, 61},
                                                                            {100, 100, -61},
                                                                            {0, 100, 0},
                                                                            {big, 100, 0},
                                                                            {100, small, 0},
                                                                            {100, 100, big},
                                                                            {100, 100, small}}) {
        EXPECT_EQ(velomix_in_speed_envelope(std::get<0>(c), std::get<1>(c), std::get<2>(c)), 0)
            << std::get<0>(c) << " " << std::get<1>(c) << " " << std::get<2>(c);
    }
}

// The kit's factor rule is the engine's: every two-decimal factor gives its hundredths, others
// the engine's cut, outside the range 0.
TEST(SpeedEnvelope, FactorHundredthsFollowTheFiltersRule) {
    const struct {
        double factor;
        int32_t hundredths;
    } cases[] = {{0.05, 5},         {50.0, 5000},
                 {1.15, 115},       {0.639, 64},
                 {1.155, 115},      {0.995, 100},
                 {0.0599999, 6},    {49.999, 4999},
                 {0.0499999, 0},    {50.0000001, 0},
                 {0.0, 0},          {-1.0, 0},
                 {std::nan(""), 0}, {std::numeric_limits<double>::infinity(), 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(velomix_factor_hundredths(c.factor), c.hundredths) << c.factor;
        EXPECT_EQ(VelomixHundredthsFromC(c.factor), c.hundredths) << c.factor;
    }
    int wrong = 0;
    for (int32_t millionths = 50000; millionths <= 50000000; millionths += 997) {
        char text[24];
        std::snprintf(text, sizeof text, "%d.%06d", millionths / 1000000, millionths % 1000000);
        const double factor = std::strtod(text, nullptr);
        const int32_t expected = 100 + (millionths - 1000000) / 10000;
        if ((velomix_factor_hundredths(factor) != expected ||
             SpeedFactorToPercent(factor) != expected - 100 ||
             VelomixHundredthsFromC(factor) != expected) &&
            ++wrong <= 10) {
            ADD_FAILURE() << text << " gives " << velomix_factor_hundredths(factor);
        }
    }
    EXPECT_EQ(wrong, 0);
    // The factor check is the setters' whole judgement: ranges, then the envelope.
    EXPECT_EQ(velomix_factors_in_speed_envelope(0.64, 1.0, 60), 1);
    EXPECT_EQ(velomix_factors_in_speed_envelope(0.639, 1.0, 60), 1); // cut to 0.64
    EXPECT_EQ(velomix_factors_in_speed_envelope(0.6399, 1.56, 60), 1);
    EXPECT_EQ(velomix_factors_in_speed_envelope(0.63, 1.0, 60), 0);
    EXPECT_EQ(velomix_factors_in_speed_envelope(1.0, 1.57, 60), 0);
    EXPECT_EQ(velomix_factors_in_speed_envelope(0.0499999, 1.0, -12), 0);
    EXPECT_EQ(velomix_factors_in_speed_envelope(1.0, std::nan(""), 0), 0);
}

} // namespace
