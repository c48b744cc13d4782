#include "StretchTuning.h"

#include "velomix_speed.h"

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
    // The kit's count of millionths; integer division truncates toward zero, toward 1.0, as
    // velomix_factor_hundredths does.
    const int64_t percent = (velomix_factor_millionths(factor) - 1000000) / 10000;
    return static_cast<int32_t>(std::clamp<int64_t>(percent, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}
