#include "CaptureSink.h"

#include "Platform.h"

#include <cstring>
#include <new>

// {6C7E36A9-0B5B-4C55-9C37-3D7F2A5B9E11}: a class identifier of the tests' own, never
// registered.
VMX_DEFINE_GUID(kClsidCaptureSink, 0x6C7E36A9, 0x0B5B, 0x4C55, 0x9C, 0x37, 0x3D, 0x7F, 0x2A, 0x5B,
                0x9E, 0x11);

CCaptureInputPin::CCaptureInputPin(CCaptureSink* pSink, CCritSec* pLock, HRESULT* phr) noexcept
    : CBaseInputPin("capture input", pSink, pLock, phr, L"Capture"), m_pSink(pSink) {}

HRESULT CCaptureInputPin::CheckMediaType(const CMediaType* pmt) {
    const bool bFloat = IsEqualGUID(*pmt->Subtype(), MEDIASUBTYPE_IEEE_FLOAT);
    if (!IsEqualGUID(*pmt->Type(), MEDIATYPE_Audio) ||
        (!bFloat && !IsEqualGUID(*pmt->Subtype(), MEDIASUBTYPE_PCM)) ||
        !IsEqualGUID(*pmt->FormatType(), FORMAT_WaveFormatEx) ||
        pmt->FormatLength() < sizeof(PCMWAVEFORMAT))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->Format());
    const WORD bits = wfx->wBitsPerSample;
    if (bFloat)
        return bits == 32 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    return bits == 8 || bits == 16 || bits == 24 || bits == 32 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CCaptureInputPin::SetMediaType(const CMediaType* pmt) {
    const HRESULT hr = CBaseInputPin::SetMediaType(pmt);
    if (SUCCEEDED(hr)) {
        CAutoLock lock(&m_pSink->m_csLog);
        std::memcpy(&m_pSink->m_Log.wfx, pmt->Format(),
                    std::min<size_t>(pmt->FormatLength(), sizeof(WAVEFORMATEX)));
    }
    return hr;
}

STDMETHODIMP CCaptureInputPin::Receive(IMediaSample* pSample) {
    const HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK)
        return hr;
    try {
        m_pSink->OnSample(pSample);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP CCaptureInputPin::EndOfStream() {
    m_pSink->OnEndOfStream();
    return S_OK;
}

STDMETHODIMP CCaptureInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    m_pSink->OnBeginFlush();
    return S_OK;
}

STDMETHODIMP CCaptureInputPin::EndFlush() {
    return CBaseInputPin::EndFlush();
}

STDMETHODIMP CCaptureInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                          double dRate) {
    CBaseInputPin::NewSegment(tStart, tStop, dRate);
    m_pSink->OnNewSegment(tStart, tStop, dRate);
    return S_OK;
}

CCaptureSink::CCaptureSink(HRESULT* phr) noexcept
    : CBaseFilter("capture sink", nullptr, &m_csFilter, kClsidCaptureSink),
      m_Pin(this, &m_csFilter, phr) {}

CCaptureSink::~CCaptureSink() {
    if (m_pPosition)
        m_pPosition->Release();
}

ComPtr<CCaptureSink> CCaptureSink::Create() {
    HRESULT hr = S_OK;
    // A COM object: its reference count owns it from here on.
    ComPtr<CCaptureSink> p(new (std::nothrow) CCaptureSink(&hr));
    if (FAILED(hr))
        return {};
    return p;
}

STDMETHODIMP CCaptureSink::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IAMFilterMiscFlags))
        return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    if (IsEqualIID(riid, IID_IMediaSeeking) || IsEqualIID(riid, IID_IMediaPosition)) {
        CAutoLock lock(&m_csPosition);
        if (!m_pPosition) {
            // A renderer's pass-through: the graph's seeking goes upstream from this pin.
            const HRESULT hr = CreatePosPassThru(GetOwner(), TRUE, &m_Pin, &m_pPosition);
            if (FAILED(hr))
                return hr;
        }
        return m_pPosition->QueryInterface(riid, ppv);
    }
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CCaptureSink::Stop() {
    // A streaming thread held at the gate must get out before the pin decommits.
    OpenGate();
    {
        CAutoLock lock(&m_csLog);
        m_bEosPending = false;
    }
    return CBaseFilter::Stop();
}

STDMETHODIMP CCaptureSink::Run(REFERENCE_TIME tStart) {
    const HRESULT hr = CBaseFilter::Run(tStart);
    if (FAILED(hr))
        return hr;
    bool notify = false;
    {
        CAutoLock lock(&m_csLog);
        notify = m_bEosPending;
        m_bEosPending = false;
    }
    // The graph counts a renderer's completion only while it runs.
    if (notify)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    return hr;
}

CaptureLog CCaptureSink::Log() {
    CAutoLock lock(&m_csLog);
    return m_Log;
}

void CCaptureSink::CloseGateAt(size_t bytes) {
    CAutoLock lock(&m_csLog);
    m_cbGate = bytes;
    ResetEvent(m_evHeld.Get());
}

void CCaptureSink::OpenGate() {
    CAutoLock lock(&m_csLog);
    m_cbGate = SIZE_MAX;
    SetEvent(m_evGate.Get());
}

void CCaptureSink::OnSample(IMediaSample* pSample) {
    BYTE* pData = nullptr;
    const long cb = pSample->GetActualDataLength();
    bool wait = false;
    if (SUCCEEDED(pSample->GetPointer(&pData)) && cb > 0) {
        CAutoLock lock(&m_csLog);
        CaptureLog::Sample s{m_Log.bytes.size(), static_cast<size_t>(cb), false, 0, 0};
        s.timeValid = SUCCEEDED(pSample->GetTime(&s.tStart, &s.tStop));
        m_Log.bytes.insert(m_Log.bytes.end(), pData, pData + cb);
        m_Log.samples.push_back(s);
        if (m_Log.bytes.size() >= m_cbGate) {
            m_cbGate = SIZE_MAX; // holds once
            ResetEvent(m_evGate.Get());
            wait = true;
        }
    }
    if (wait) {
        SetEvent(m_evHeld.Get());
        // Bounded, so that a flush that never comes fails the test instead of hanging it.
        WaitForSingleObject(m_evGate.Get(), 20000);
    }
}

void CCaptureSink::OnEndOfStream() {
    bool notify = false;
    {
        CAutoLock lock(&m_csLog);
        ++m_Log.endOfStreams;
        if (IsStopped() || m_Pin.IsFlushing())
            return;
        notify = State() == State_Running;
        m_bEosPending = !notify;
    }
    SetEvent(m_evEndOfStream.Get());
    if (notify)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
}

void CCaptureSink::OnBeginFlush() {
    {
        CAutoLock lock(&m_csLog);
        m_Log.flushes.push_back(m_Log.bytes.size());
        // A flush cancels an end of stream not yet reported.
        m_bEosPending = false;
    }
    OpenGate();
}

void CCaptureSink::OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    CAutoLock lock(&m_csLog);
    m_Log.segments.push_back({m_Log.bytes.size(), tStart, tStop, dRate});
}
