#include "Transform.h"

#include "ComPtr.h"
#include "Platform.h"

// ---- CTransformInputPin --------------------------------------------------------------------

CTransformInputPin::CTransformInputPin(const char* pObjectName, CTransformFilter* pFilter,
                                       HRESULT* phr, LPCWSTR pName) noexcept
    : CBaseInputPin(pObjectName, pFilter, &pFilter->m_csFilter, phr, pName),
      m_pTransformFilter(pFilter) {}

HRESULT CTransformInputPin::CheckConnect(IPin* pPin) {
    const HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pPin);
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::CheckConnect(pPin);
}

HRESULT CTransformInputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* pReceivePin) {
    const HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, pReceivePin);
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::CompleteConnect(pReceivePin);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* pmt) {
    HRESULT hr = m_pTransformFilter->CheckInputType(pmt);
    if (hr != S_OK)
        return hr;
    CTransformOutputPin* pOut = m_pTransformFilter->m_pOutput.get();
    if (pOut && pOut->IsConnected())
        hr = m_pTransformFilter->CheckTransform(pmt, &pOut->CurrentMediaType());
    return hr;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* pmt) {
    const HRESULT hr = CBasePin::SetMediaType(pmt);
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_INPUT, pmt);
}

HRESULT CTransformInputPin::CheckStreaming() {
    CTransformOutputPin* pOut = m_pTransformFilter->m_pOutput.get();
    if (!pOut || !pOut->IsConnected())
        return VFW_E_NOT_CONNECTED;
    return CBaseInputPin::CheckStreaming();
}

STDMETHODIMP CTransformInputPin::EndOfStream() {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CheckStreaming();
    if (hr == S_OK)
        hr = m_pTransformFilter->EndOfStream();
    return hr;
}

STDMETHODIMP CTransformInputPin::BeginFlush() {
    CAutoLock lock(&m_pTransformFilter->m_csFilter);
    CTransformOutputPin* pOut = m_pTransformFilter->m_pOutput.get();
    if (!IsConnected() || !pOut || !pOut->IsConnected())
        return VFW_E_NOT_CONNECTED;
    const HRESULT hr = CBaseInputPin::BeginFlush();
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->BeginFlush();
}

STDMETHODIMP CTransformInputPin::EndFlush() {
    CAutoLock lock(&m_pTransformFilter->m_csFilter);
    CTransformOutputPin* pOut = m_pTransformFilter->m_pOutput.get();
    if (!IsConnected() || !pOut || !pOut->IsConnected())
        return VFW_E_NOT_CONNECTED;
    const HRESULT hr = m_pTransformFilter->EndFlush();
    if (FAILED(hr))
        return hr;
    return CBaseInputPin::EndFlush();
}

STDMETHODIMP CTransformInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                            double dRate) {
    CBasePin::NewSegment(tStart, tStop, dRate);
    return m_pTransformFilter->NewSegment(tStart, tStop, dRate);
}

STDMETHODIMP CTransformInputPin::Receive(IMediaSample* pSample) {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr == S_OK)
        hr = m_pTransformFilter->Receive(pSample);
    return hr;
}

// ---- CTransformOutputPin -------------------------------------------------------------------

CTransformOutputPin::CTransformOutputPin(const char* pObjectName, CTransformFilter* pFilter,
                                         HRESULT* phr, LPCWSTR pName) noexcept
    : CBaseOutputPin(pObjectName, pFilter, &pFilter->m_csFilter, phr, pName),
      m_pTransformFilter(pFilter) {}

CTransformOutputPin::~CTransformOutputPin() = default;

STDMETHODIMP CTransformOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IMediaPosition) || IsEqualIID(riid, IID_IMediaSeeking)) {
        CAutoLock lock(&m_csPosition);
        if (!m_pPosition) {
            CTransformInputPin* pIn = m_pTransformFilter->m_pInput.get();
            if (!pIn)
                return E_UNEXPECTED;
            const HRESULT hr =
                CreatePosPassThru(GetOwner(), FALSE, static_cast<IPin*>(pIn), &m_pPosition);
            if (FAILED(hr)) {
                m_pPosition.Reset();
                return hr;
            }
        }
        return m_pPosition->QueryInterface(riid, ppv);
    }
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CTransformOutputPin::Notify(IBaseFilter*, Quality q) {
    // The filter may act on it; otherwise it goes on from the input pin. A sink set on this
    // pin is not used here: it is for messages this pin would raise itself.
    const HRESULT hr = m_pTransformFilter->AlterQuality(q);
    if (hr != S_FALSE)
        return hr;
    CTransformInputPin* pIn = m_pTransformFilter->m_pInput.get();
    return pIn ? pIn->PassNotify(q) : VFW_E_NOT_FOUND;
}

HRESULT CTransformOutputPin::CheckConnect(IPin* pPin) {
    CTransformInputPin* pIn = m_pTransformFilter->m_pInput.get();
    if (!pIn || !pIn->IsConnected())
        return E_UNEXPECTED;
    const HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pPin);
    if (FAILED(hr))
        return hr;
    return CBaseOutputPin::CheckConnect(pPin);
}

HRESULT CTransformOutputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* pReceivePin) {
    const HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, pReceivePin);
    if (FAILED(hr))
        return hr;
    return CBaseOutputPin::CompleteConnect(pReceivePin);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) {
    return m_pTransformFilter->DecideBufferSize(pAlloc, pProp);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* pmt) {
    CTransformInputPin* pIn = m_pTransformFilter->m_pInput.get();
    if (!pIn || !pIn->IsConnected())
        return E_INVALIDARG;
    return m_pTransformFilter->CheckTransform(&pIn->CurrentMediaType(), pmt);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* pmt) {
    const HRESULT hr = CBasePin::SetMediaType(pmt);
    if (FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, pmt);
}

HRESULT CTransformOutputPin::GetMediaType(int iPosition, CMediaType* pMediaType) {
    CTransformInputPin* pIn = m_pTransformFilter->m_pInput.get();
    if (!pIn || !pIn->IsConnected())
        return VFW_S_NO_MORE_ITEMS;
    return m_pTransformFilter->GetMediaType(iPosition, pMediaType);
}

// ---- CTransformFilter ----------------------------------------------------------------------

CTransformFilter::CTransformFilter(const char* pName, IUnknown* pUnk, REFCLSID clsid) noexcept
    : CBaseFilter(pName, pUnk, &m_csFilter, clsid) {}

CTransformFilter::~CTransformFilter() {
    // Input first, as it was made last.
    m_pInput.reset();
    m_pOutput.reset();
}

CBasePin* CTransformFilter::GetPin(int n) {
    switch (n) {
    case 0:
        return m_pInput.get();
    case 1:
        return m_pOutput.get();
    default:
        return nullptr;
    }
}

STDMETHODIMP CTransformFilter::Stop() {
    CAutoLock lockFilter(&m_csFilter);
    if (m_State.load() == State_Stopped)
        return S_OK;
    if (!m_pInput || !m_pInput->IsConnected() || !m_pOutput || !m_pOutput->IsConnected()) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
        return S_OK;
    }
    // Decommitting the input allocator makes upstream stop pushing; then wait for a sample
    // in progress to finish before stopping the output side.
    m_pInput->Inactive();
    CAutoLock lockReceive(&m_csReceive);
    m_pOutput->Inactive();
    const HRESULT hr = StopStreaming();
    if (SUCCEEDED(hr)) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
    }
    return hr;
}

STDMETHODIMP CTransformFilter::Pause() {
    CAutoLock lock(&m_csFilter);
    HRESULT hr = S_OK;
    if (m_State.load() == State_Paused) {
        // nothing to do
    } else if (!m_pInput || !m_pInput->IsConnected()) {
        // No input: downstream would wait forever for data, so tell it there is none.
        if (m_pOutput && m_pOutput->IsConnected() && !m_bEOSDelivered) {
            m_pOutput->DeliverEndOfStream();
            m_bEOSDelivered = true;
        }
        m_State = State_Paused;
    } else if (!m_pOutput || !m_pOutput->IsConnected()) {
        m_State = State_Paused;
    } else {
        if (m_State.load() == State_Stopped) {
            CAutoLock lockReceive(&m_csReceive);
            hr = StartStreaming();
        }
        if (SUCCEEDED(hr))
            hr = CBaseFilter::Pause();
    }
    m_bSampleSkipped = false;
    m_bQualityChanged = false;
    return hr;
}

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* pSample,
                                                 IMediaSample** ppOutSample) {
    *ppOutSample = nullptr;
    AM_SAMPLE2_PROPERTIES* const pProps = m_pInput->SampleProps();
    DWORD dwFlags = m_bSampleSkipped ? AM_GBF_PREVFRAMESKIPPED : 0;
    if (!(pProps->dwSampleFlags & AM_SAMPLE_SPLICEPOINT))
        dwFlags |= AM_GBF_NOTASYNCPOINT;

    IMediaSample* pOut = nullptr;
    HRESULT hr = m_pOutput->GetDeliveryBuffer(
        &pOut, (pProps->dwSampleFlags & AM_SAMPLE_TIMEVALID) ? &pProps->tStart : nullptr,
        (pProps->dwSampleFlags & AM_SAMPLE_STOPVALID) ? &pProps->tStop : nullptr, dwFlags);
    if (FAILED(hr))
        return hr;

    if (pProps->dwSampleFlags & AM_SAMPLE_TIMEVALID)
        pOut->SetTime(&pProps->tStart,
                      (pProps->dwSampleFlags & AM_SAMPLE_STOPVALID) ? &pProps->tStop : nullptr);
    pOut->SetSyncPoint((pProps->dwSampleFlags & AM_SAMPLE_SPLICEPOINT) ? TRUE : FALSE);
    pOut->SetPreroll((pProps->dwSampleFlags & AM_SAMPLE_PREROLL) ? TRUE : FALSE);
    if (pProps->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) {
        pOut->SetDiscontinuity(TRUE);
        m_bSampleSkipped = false;
    }
    LONGLONG mtStart = 0, mtStop = 0;
    if (pSample->GetMediaTime(&mtStart, &mtStop) == S_OK)
        pOut->SetMediaTime(&mtStart, &mtStop);
    const LONG lActual = pProps->lActual;
    if (lActual >= 0 && lActual <= pOut->GetSize())
        pOut->SetActualDataLength(lActual);
    *ppOutSample = pOut;
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* pSample) {
    AM_SAMPLE2_PROPERTIES* const pProps = m_pInput->SampleProps();
    if (pProps->dwStreamId != AM_STREAM_MEDIA)
        return m_pOutput->Deliver(pSample);

    IMediaSample* pRaw = nullptr;
    HRESULT hr = InitializeOutputSample(pSample, &pRaw);
    if (FAILED(hr))
        return hr;
    const ComPtr<IMediaSample> pOutSample = ComPtr<IMediaSample>::Attach(pRaw);
    hr = Transform(pSample, pOutSample.Get());
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(pOutSample.Get());
        m_bSampleSkipped = false;
    } else if (hr == S_FALSE) {
        m_bSampleSkipped = true;
        hr = S_OK;
    }
    return hr;
}

HRESULT CTransformFilter::EndOfStream() {
    return m_pOutput->DeliverEndOfStream();
}
HRESULT CTransformFilter::BeginFlush() {
    return m_pOutput->DeliverBeginFlush();
}
HRESULT CTransformFilter::EndFlush() {
    return m_pOutput->DeliverEndFlush();
}
HRESULT CTransformFilter::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    return m_pOutput->DeliverNewSegment(tStart, tStop, dRate);
}
