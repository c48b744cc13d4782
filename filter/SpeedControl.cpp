// The speed values of the filter: IVelomixProp, the latch, and their application on the
// streaming thread.
#include "CopyTransformFilter.h"

#include "control/Settings.h"


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
        m_CommServer.Publish();
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
        m_CommServer.Publish();
    }
    return S_OK;
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

void CCopyTransformFilter::ReadStretchTuning(double dTempo, int32_t& sequenceMs, int32_t& seekWindowMs,
                                             int32_t& overlapMs) {
    const StretchBand& band = SelectStretchBand(dTempo);
    const std::string text = ReadSpeedTuningText(m_strIniPath, band.key, band.defaultText);
    ParseStretchTuning(text.c_str(), band, sequenceMs, seekWindowMs, overlapMs);
}

void CCopyTransformFilter::ApplySpeedChanges(bool bForce) {
    CAutoLock lock(&m_csSpeed);
    if (!m_bSpeedChanged && !bForce)
        return;
    // As one combination: one value at a time could leave the envelope on the way.
    m_Processor.ChangeSpeed(SpeedFactorToPercent(m_dTempo), SpeedFactorToPercent(m_dRate),
                            m_nPitch);

    int32_t sequenceMs = 82, seekWindowMs = 14, overlapMs = 12;
    ReadStretchTuning(m_dTempo, sequenceMs, seekWindowMs, overlapMs);
    m_Processor.ChangeSetting(SETTING_SEQUENCE_MS, sequenceMs);
    m_Processor.ChangeSetting(SETTING_SEEKWINDOW_MS, seekWindowMs);
    m_Processor.ChangeSetting(SETTING_OVERLAP_MS, overlapMs);
    // Only a configured processor takes the values; until then they stay latched.
    if (m_Processor.m_nChannels != 0)
        m_bSpeedChanged = false;
}
