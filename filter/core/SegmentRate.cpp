#include "SegmentRate.h"

#include "MediaTime.h"
#include "velomix_speed.h"

#include <algorithm>
#include <limits>

bool SegmentRate::Accepts(double dRate) {
    // False for NaN as well.
    return dRate >= VELOMIX_FACTOR_MIN && dRate <= VELOMIX_FACTOR_MAX;
}

void SegmentRate::Start(double dRate) {
    const bool bTaken = Accepts(dRate);
    m_dRate = bTaken ? dRate : 1.0;
    m_nMillionths = bTaken ? velomix_factor_millionths(dRate) : 1000000;
}

double SegmentRate::DownstreamRate(double dSegmentRate) const {
    return Accepts(dSegmentRate) ? 1.0 : dSegmentRate;
}

int64_t SegmentRate::ToStreamTime(int64_t t) const {
    if (m_nMillionths == 1000000)
        return t;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr uint64_t kMillion = 1000000;
    const uint64_t m = static_cast<uint64_t>(m_nMillionths);
    // |t| as unsigned: INT64_MIN has no positive counterpart.
    const uint64_t magnitude = t < 0 ? 0 - static_cast<uint64_t>(t) : static_cast<uint64_t>(t);
    // The largest magnitude whose quotient still fits; only a rate below 1 can overflow.
    if (m < kMillion && magnitude > MulDivRound(static_cast<uint64_t>(kMax), m, kMillion) - 1)
        return t < 0 ? std::numeric_limits<int64_t>::min() : kMax;
    const auto scaled = static_cast<int64_t>(MulDivRound(magnitude, kMillion, m));
    return t < 0 ? -scaled : scaled;
}

int32_t SegmentRate::CombinedTempoHundredths(double dTempo, double dSegmentRate,
                                             int32_t rateHundredths, int32_t pitch,
                                             bool* pbClamped) {
    const double product = dTempo * (Accepts(dSegmentRate) ? dSegmentRate : 1.0);
    const double factor = std::clamp(product, double(VELOMIX_FACTOR_MIN), VELOMIX_FACTOR_MAX);
    int32_t tempo = velomix_factor_hundredths(factor);
    bool bClamped = factor != product;
    // The envelope's tempo bounds at a pitch form one interval within the factor range, never
    // empty: walk toward it.
    if (!velomix_in_speed_envelope(tempo, rateHundredths, pitch)) {
        const int step =
            velomix_stage_compare(tempo, VELOMIX_STAGE_HUNDREDTHS_MIN, pitch) < 0 ? 1 : -1;
        for (int32_t next = tempo + step;
             next >= VELOMIX_HUNDREDTHS_MIN && next <= VELOMIX_HUNDREDTHS_MAX; next += step) {
            tempo = next;
            if (velomix_in_speed_envelope(tempo, rateHundredths, pitch))
                break;
        }
        bClamped = true;
    }
    if (pbClamped)
        *pbClamped = bClamped;
    return tempo;
}
