#include "StretchTuning.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// Rows in the order their bounds are tested; the last row takes every other tempo.
const StretchBand kBands[] = {
    {"1.2", kDefaultStretchTuning}, {"1.4", kDefaultStretchTuning}, {"1.6", {66, 14, 12}},
    {"1.8", {56, 14, 12}},          {"2.0", {56, 14, 12}},          {"1.0", kDefaultStretchTuning},
};

} // namespace

const StretchBand& SelectStretchBand(double tempo) {
    if (tempo > 1.0 && tempo <= 1.2) {
        return kBands[0];
    }
    if (tempo > 1.2 && tempo <= 1.4) {
        return kBands[1];
    }
    if (tempo > 1.4 && tempo <= 1.6) {
        return kBands[2];
    }
    if (tempo > 1.6 && tempo <= 1.8) {
        return kBands[3];
    }
    if (tempo > 1.8) {
        return kBands[4];
    }
    return kBands[5];
}

std::string StretchTuningText(const StretchTuning& tuning) {
    return std::to_string(tuning.sequenceMs) + ',' + std::to_string(tuning.seekWindowMs) + ',' +
           std::to_string(tuning.overlapMs);
}

void ParseStretchTuning(const char* text, const StretchBand& band, StretchTuning& tuning) {
    if (text == nullptr) {
        return;
    }
    int32_t* const outputs[] = {&tuning.sequenceMs, &tuning.seekWindowMs, &tuning.overlapMs};
    const int32_t defaults[] = {band.tuning.sequenceMs, band.tuning.seekWindowMs,
                                band.tuning.overlapMs};
    int field = 0;
    for (const char* p = text; *p != '\0' && field < 3;) {
        if (*p == ',') {
            ++p; // empty field: skipped
            continue;
        }
        // strtol stops at the ',' that ends the field, since a comma is no digit.
        const long value = std::strtol(p, nullptr, 10);
        *outputs[field] = (value < 0 || value > kMaxStretchTuningMs) ? defaults[field]
                                                                     : static_cast<int32_t>(value);
        ++field;
        while (*p != '\0' && *p != ',') {
            ++p;
        }
    }
}

namespace {

// |value| x 10^6 rounded half up, for |value| < 2^31, computed exactly from the double in
// integers: no floating-point product, so the answer cannot depend on how the FPU rounds one
// (x87 keeps 64 mantissa bits where SSE keeps 53, which made 1.2 count as 1.19 on i686 only).
int64_t MillionthsOf(double value) {
    const double magnitude = std::fabs(value);
    const double whole = std::floor(magnitude);
    // The fraction is a double, exactly; from 1/256 up its last bit lies at 2^-61 or above, so
    // bits holds it whole. Below 1/256 the bits past 2^-61 are dropped: worth under 10^-12
    // millionths, and the same on every build.
    const auto bits = static_cast<uint64_t>(std::ldexp(magnitude - whole, 61));
    // bits x 10^6 / 2^61 = bits x 15625 / 2^55, the product in two halves to stay in 64 bits:
    // bits x 15625 = high x 2^32 + low, high < 2^43, low < 2^46.
    const uint64_t high = (bits >> 32) * 15625;
    const uint64_t low = (bits & 0xFFFFFFFFu) * 15625;
    const uint64_t rest = ((high & ((uint64_t{1} << 23) - 1)) << 32) + low; // < 2^56
    const uint64_t remainder = rest & ((uint64_t{1} << 55) - 1);
    const uint64_t fraction =
        (high >> 23) + (rest >> 55) + (remainder >= (uint64_t{1} << 54) ? 1 : 0);
    const int64_t millionths =
        static_cast<int64_t>(whole) * 1000000 + static_cast<int64_t>(fraction);
    return value < 0 ? -millionths : millionths;
}

} // namespace

int32_t SpeedFactorToPercent(double factor) {
    if (std::isnan(factor)) {
        return 0;
    }
    // Beyond 2^31 the percent saturates in any case (and is out of MillionthsOf's range).
    constexpr double kLimit = 2147483648.0;
    if (factor >= kLimit) {
        return std::numeric_limits<int32_t>::max();
    }
    if (factor <= -kLimit) {
        return std::numeric_limits<int32_t>::min();
    }
    // Integer division truncates toward zero, as the change always has.
    const int64_t percent = (MillionthsOf(factor) - 1000000) / 10000;
    return static_cast<int32_t>(std::clamp<int64_t>(percent, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}
