// The speed values of the filter: IVelomixProp, the latch, and their application on the
// streaming thread.
#include "CopyTransformFilter.h"

#include "DiagnosticLog.h"
#include "control/Settings.h"

#include <algorithm>

namespace {

// The three values as the processor will get them, judged together (the speed envelope).
bool IsInEnvelope(double dTempo, double dRate, int nPitch) {
    return CSpeedProcessor::IsInSpeedEnvelope(SpeedFactorToPercent(dTempo),
                                              SpeedFactorToPercent(dRate), nPitch);
}

} // namespace

HRESULT CCopyTransformFilter::SetSpeedValue(double CCopyTransformFilter::*pMember, double dValue) {
    if (!IsValidSpeedFactor(dValue))
        return E_INVALIDARG;
    CAutoLock lock(&m_csSpeed);
    const bool bTempo = pMember == &CCopyTransformFilter::m_dTempo;
    if (!IsInEnvelope(bTempo ? dValue : m_dTempo, bTempo ? m_dRate : dValue, m_nPitch))
        return E_INVALIDARG;
    if (this->*pMember != dValue) {
        this->*pMember = dValue;
        m_bSpeedChanged = true;
        if (m_CommServer)
            m_CommServer->Publish();
    }
    return S_OK;
}

STDMETHODIMP CCopyTransformFilter::SetTempo(double dTempo) {
    return SetSpeedValue(&CCopyTransformFilter::m_dTempo, dTempo);
}

STDMETHODIMP CCopyTransformFilter::SetRate(double dRate) {
    return SetSpeedValue(&CCopyTransformFilter::m_dRate, dRate);
}

STDMETHODIMP CCopyTransformFilter::SetPitch(int nPitch) {
    if (!IsValidPitch(nPitch))
        return E_INVALIDARG;
    CAutoLock lock(&m_csSpeed);
    if (!IsInEnvelope(m_dTempo, m_dRate, nPitch))
        return E_INVALIDARG;
    if (m_nPitch != nPitch) {
        m_nPitch = nPitch;
        m_bSpeedChanged = true;
        if (m_CommServer)
            m_CommServer->Publish();
    }
    return S_OK;
}

VelomixValues CCopyTransformFilter::SpeedInForce() noexcept {
    CAutoLock lock(&m_csSpeed);
    return VelomixValues{m_dTempo, m_dRate, static_cast<int32_t>(m_nPitch)};
}

void CCopyTransformFilter::ExchangeSpeed(CVelomixSpeedExchange& exchange) noexcept {
    CAutoLock lock(&m_csSpeed);
    VelomixValues request;
    HRESULT hr = S_FALSE;
    if (exchange.Take(request)) {
        // Judged whole, as ChangeSpeed takes them: a request either lands or changes nothing.
        if (!IsValidSpeedFactor(request.dTempo) || !IsValidSpeedFactor(request.dRate) ||
            !IsValidPitch(request.nPitch) ||
            !IsInEnvelope(request.dTempo, request.dRate, request.nPitch)) {
            hr = E_INVALIDARG;
        } else {
            hr = S_FALSE;
            if (m_dTempo != request.dTempo || m_dRate != request.dRate ||
                m_nPitch != request.nPitch) {
                hr = S_OK;
                m_dTempo = request.dTempo;
                m_dRate = request.dRate;
                m_nPitch = request.nPitch;
                m_bSpeedChanged = true;
            }
        }
    }
    exchange.Answer(VelomixValues{m_dTempo, m_dRate, static_cast<int32_t>(m_nPitch)}, hr);
}

STDMETHODIMP CCopyTransformFilter::GetTempo(double* pdTempo) {
    if (!pdTempo)
        return E_POINTER;
    CAutoLock lock(&m_csSpeed);
    *pdTempo = m_dTempo;
    return S_OK;
}

STDMETHODIMP CCopyTransformFilter::GetRate(double* pdRate) {
    if (!pdRate)
        return E_POINTER;
    CAutoLock lock(&m_csSpeed);
    *pdRate = m_dRate;
    return S_OK;
}

STDMETHODIMP CCopyTransformFilter::GetPitch(int* pnPitch) {
    if (!pnPitch)
        return E_POINTER;
    CAutoLock lock(&m_csSpeed);
    *pnPitch = m_nPitch;
    return S_OK;
}

STDMETHODIMP CCopyTransformFilter::GetPages(CAUUID* pPages) {
    if (!pPages)
        return E_POINTER;
    pPages->cElems = 0;
    pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pPages->pElems)
        return E_OUTOFMEMORY;
    pPages->cElems = 1;
    pPages->pElems[0] = CLSID_VelomixProp1;
    return S_OK;
}

// The tuning of the band dTempo falls in: the settings file's "SPEED" entry, read anew each
// time, over the default tuning.
StretchTuning CCopyTransformFilter::ReadStretchTuning(double dTempo) const {
    const StretchBand& band = SelectStretchBand(dTempo);
    const std::string text =
        ReadSpeedTuningText(m_strIniPath, band.key, StretchTuningText(band.tuning).c_str());
    StretchTuning tuning = kDefaultStretchTuning;
    ParseStretchTuning(text.c_str(), band, tuning);
    return tuning;
}

HRESULT CCopyTransformFilter::ApplySpeedChanges(bool bForce) {
    // Only a configured processor takes the values; until then they stay latched.
    if (!m_Processor.IsConfigured())
        return S_OK;
    double dTempo = 1.0, dRate = 1.0;
    int nPitch = 0;
    {
        // A snapshot, and the latch cleared with it: a setter that comes after latches anew.
        // The file read and the engine's work below would otherwise hold up every setter.
        CAutoLock lock(&m_csSpeed);
        if (!m_bSpeedChanged && !m_bSegmentRateChanged && !bForce)
            return S_OK;
        m_bSpeedChanged = false;
        dTempo = m_dTempo;
        dRate = m_dRate;
        nPitch = m_nPitch;
    }
    m_bSegmentRateChanged = false;
    int32_t next[3] = {SpeedFactorToPercent(dTempo), SpeedFactorToPercent(dRate), nPitch};
    if (m_bSegmentRateMode) {
        // The segment's pace on top of the tempo set; a product beyond the envelope plays at its
        // nearest edge rather than stopping the stream (the player's rate is already in force).
        bool bClamped = false;
        next[0] = SegmentRate::CombinedTempoHundredths(dTempo, m_Segment.Rate(), next[1] + 100,
                                                       nPitch, &bClamped) -
                  100;
        if (bClamped)
            LogMessage(LogLevel::Warning,
                       "tempo %g at segment rate %g lies outside the speed envelope; played at "
                       "%d.%02d",
                       dTempo, m_Segment.Rate(), (next[0] + 100) / 100, (next[0] + 100) % 100);
        dTempo *= m_Segment.Rate(); // the stretch tuning's band
    }
    if (!CSpeedProcessor::IsInSpeedEnvelope(next[0], next[1], next[2]))
        return StreamError(EngineResult::Refused, "the engine did not take the speed values");
    if (m_bEndStretch && !m_Held.empty()) {
        // A stretch waiting for input to end on changes again: what waited goes through the
        // engine at the speed it came at, before the new change is judged.
        const EngineResult fed =
            m_Processor.ProcessInput(m_Held.data(), static_cast<int32_t>(m_Held.size()));
        if (fed != EngineResult::Ok && fed != EngineResult::NoOutput)
            return StreamError(fed, "the engine took no input");
        m_Owed.Fed(static_cast<int64_t>(m_Held.size()) / std::max(m_Processor.BlockAlign(), 1),
                   m_Processor.OutputPerInputRatio());
        m_Held.clear();
    }
    const bool bWasActive = m_Processor.IsActive();
    const bool bActive = next[0] != 0 || next[1] != 0 || next[2] != 0;
    const int32_t blockAlign = std::max(m_Processor.BlockAlign(), 1);
    const int64_t ringFrames = m_Processor.BufferedBytes() / blockAlign;
    const double dOldRatio = m_Processor.OutputPerInputRatio();
    m_bEndStretch = false;
    if (bWasActive) {
        // The input the engine holds: made at the new speed it would change the output's length
        // by its own length over either speed, so more than a little of it ends the stretch at
        // the old speed first.
        const double dHeld = m_Owed.HeldInputFrames(ringFrames, dOldRatio);
        const double dMaxHeld =
            double(m_Processor.Format().nSamplesPerSec) * kMaxHeldAtNewSpeedMs / 1000.0;
        // A change of the order of the engine's stages (see EffectiveRate) is a click too.
        const bool bStagesSwap = (CSpeedProcessor::EffectiveRate(m_Processor.RateChange(),
                                                                 m_Processor.PitchSemiTones()) >
                                  1.0) != (CSpeedProcessor::EffectiveRate(next[1], next[2]) > 1.0);
        if (!bActive || dHeld > dMaxHeld || bStagesSwap) {
            m_bEndStretch = true;
            m_bEndToStretch = bActive;
            m_dNextTempo = dTempo;
            std::copy(next, next + 3, m_nNext);
            return S_OK;
        }
    }
    // As one combination: one value at a time could leave the envelope on the way.
    EngineResult result = m_Processor.ChangeSpeed(next[0], next[1], next[2]);
    if (result == EngineResult::Ok)
        result = m_Processor.ChangeTuning(ReadStretchTuning(dTempo));
    if (result != EngineResult::Ok)
        return StreamError(result, "the engine did not take the speed values");
    if (!bWasActive)
        m_Owed.Reset(); // a fresh stretch
    else
        m_Owed.Rescale(ringFrames, dOldRatio, m_Processor.OutputPerInputRatio());
    return S_OK;
}
