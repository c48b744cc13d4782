#include "OutputPlan.h"

#include <algorithm>

int32_t SliceFrames(int32_t inFrames, double outPerIn, int32_t cbBuffer, int32_t blockAlign,
                    int32_t samplesPerSec) {
    if (blockAlign <= 0 || inFrames <= 0)
        return std::max(inFrames, 1);
    const double bufferFrames = double(std::max(cbBuffer, blockAlign)) / blockAlign;
    const double outFrames =
        std::max(4.0 * bufferFrames, double(InputPlan::kSliceOutputSeconds) * samplesPerSec);
    const double frames = outPerIn > 0 ? outFrames / outPerIn : double(inFrames);
    return static_cast<int32_t>(std::clamp(frames, 1.0, double(inFrames)));
}

void InputPlan::Start(int32_t inFrames, int32_t cbBuffer) {
    *this = InputPlan{};
    m_nInFrames = std::max(inFrames, 0);
    m_cbBuffer = std::max(cbBuffer, 0);
}

int32_t InputPlan::NextSlice(int32_t fedFrames, int32_t sliceFrames) const {
    const int32_t rest = m_nInFrames - fedFrames;
    if (rest <= 0)
        return 0;
    return std::min(rest, std::max(sliceFrames, 1));
}

bool InputPlan::GroupFull(int32_t cbHeld) const {
    return m_cbBuffer > 0 && cbHeld > m_cbBuffer;
}

void InputPlan::PlanGroup(int32_t fedFrames, int32_t cbHeld, bool bLastGroup, bool bDrainAll) {
    m_nGroupFrom = m_nGroupTo;
    m_nGroupTo = std::clamp(fedFrames, m_nGroupFrom, m_nInFrames);
    const int32_t held = std::max(cbHeld, 0);
    const int32_t b = m_cbBuffer;
    if (bDrainAll || b <= 0)
        m_cbPlanned = b <= 0 ? 0 : held;
    else if (held > b)
        m_cbPlanned = b * ((held - 1) / b); // whole buffers; 1..b bytes wait for the next input
    else
        m_cbPlanned = bLastGroup ? held : 0;
    m_cbDone = 0;
    // A last group always makes at least one output, so that the input's outputs reach its stop.
    m_bGroupOpen = m_cbPlanned > 0 || bLastGroup;
}

// Input frame position of an output offset of the group, in units of 1 / max(planned, 1) frame.
int64_t InputPlan::PositionAt(int32_t cbOffset, bool bStop) const {
    if (m_cbPlanned <= 0)
        return bStop ? m_nGroupTo : m_nGroupFrom;
    const int64_t span = int64_t(m_nGroupTo) - m_nGroupFrom;
    return int64_t(m_nGroupFrom) * m_cbPlanned + span * cbOffset;
}

InputPlan::Output InputPlan::Next(int32_t cbMax) {
    const int32_t n = std::clamp(m_cbPlanned - m_cbDone, 0, std::max(cbMax, 0));
    Output out{n, PositionAt(m_cbDone, false), PositionAt(m_cbDone + n, true),
               std::max<int64_t>(m_cbPlanned, 1)};
    m_cbDone += n;
    m_bGroupOpen = m_cbDone < m_cbPlanned;
    return out;
}
