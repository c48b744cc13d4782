#include "OwedOutput.h"

#include <algorithm>
#include <cmath>

int64_t OwedOutput::EngineOwedFrames(int64_t ringFrames) const {
    return std::max<int64_t>(std::llround(m_dExpected) - m_nTaken - ringFrames, 0);
}

double OwedOutput::HeldInputFrames(int64_t ringFrames, double outPerIn) const {
    const double owed = m_dExpected - double(m_nTaken + ringFrames);
    return owed > 0 && outPerIn > 0 ? owed / outPerIn : 0.0;
}

void OwedOutput::Rescale(int64_t ringFrames, double oldOutPerIn, double newOutPerIn) {
    if (oldOutPerIn <= 0 || newOutPerIn <= 0 || oldOutPerIn == newOutPerIn)
        return;
    const double made = double(m_nTaken + ringFrames);
    const double owed = m_dExpected - made;
    if (owed > 0)
        m_dExpected = made + owed / oldOutPerIn * newOutPerIn;
}

int64_t OwedOutput::OwedFrames() const {
    return std::max<int64_t>(std::llround(m_dExpected) - m_nTaken, 0);
}
