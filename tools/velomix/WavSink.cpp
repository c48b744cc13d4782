#include "WavSink.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// {1E5C3A62-9F0B-4C8D-B7A4-52D6E0F3A915}: the tool's own class, never registered.
VMX_DEFINE_GUID(kClsidWavSink, 0x1E5C3A62, 0x9F0B, 0x4C8D, 0xB7, 0xA4, 0x52, 0xD6, 0xE0, 0xF3, 0xA9,
                0x15);

bool IsWaveFormat(const AM_MEDIA_TYPE& mt) {
    return IsEqualGUID(mt.majortype, MEDIATYPE_Audio) &&
           IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx) && mt.pbFormat && mt.cbFormat >= 16;
}

} // namespace

CWavSinkInputPin::CWavSinkInputPin(CWavSink* pSink, CCritSec* pLock, HRESULT* phr) noexcept
    : CBaseInputPin("wav sink input", pSink, pLock, phr, L"In"), m_pSink(pSink) {}

HRESULT CWavSinkInputPin::CheckMediaType(const CMediaType* pmt) {
    if (!IsWaveFormat(*pmt))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->Format());
    return wfx->nChannels > 0 && wfx->nBlockAlign > 0 && wfx->nSamplesPerSec > 0
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

STDMETHODIMP CWavSinkInputPin::Receive(IMediaSample* pSample) {
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK)
        return hr;
    hr = m_pSink->OnSample(pSample);
    if (FAILED(hr))
        m_bRunTimeError = true; // no more samples until the graph stops
    return hr;
}

STDMETHODIMP CWavSinkInputPin::EndOfStream() {
    m_pSink->OnEndOfStream();
    return S_OK;
}

STDMETHODIMP CWavSinkInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    m_pSink->OnBeginFlush();
    return S_OK;
}

STDMETHODIMP CWavSinkInputPin::EndFlush() {
    return CBaseInputPin::EndFlush();
}

CWavSink::CWavSink(HRESULT* phr) noexcept
    : CBaseFilter("wav sink", nullptr, &m_csFilter, kClsidWavSink), m_Pin(this, &m_csFilter, phr) {}

ComPtr<CWavSink> CWavSink::Create() {
    HRESULT hr = S_OK;
    // A COM object: its reference count owns it from here on.
    ComPtr<CWavSink> p(new (std::nothrow) CWavSink(&hr));
    if (FAILED(hr))
        return {};
    return p;
}

STDMETHODIMP CWavSink::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IAMFilterMiscFlags))
        return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CWavSink::Stop() {
    {
        CAutoLock lock(&m_csFile);
        m_bEosPending = false;
    }
    return CBaseFilter::Stop();
}

STDMETHODIMP CWavSink::Run(REFERENCE_TIME tStart) {
    const HRESULT hr = CBaseFilter::Run(tStart);
    if (FAILED(hr))
        return hr;
    bool notify = false;
    {
        CAutoLock lock(&m_csFile);
        notify = m_bEosPending;
        m_bEosPending = false;
    }
    // The graph counts a renderer's completion only while it runs.
    if (notify)
        NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    return hr;
}

bool CWavSink::BeginFile(const std::string& path) {
    CAutoLock lock(&m_csFile);
    const CMediaType& mt = m_Pin.CurrentMediaType();
    if (!m_Pin.IsConnected() || !IsWaveFormat(mt)) {
        m_StreamError = "the file sink is not connected";
        return false;
    }
    if (!m_Writer.Open(path))
        return false;
    m_wfx = WAVEFORMATEX{};
    std::memcpy(&m_wfx, mt.Format(), std::min<size_t>(mt.FormatLength(), sizeof(WAVEFORMATEX)));
    return m_Writer.WriteHeader(reinterpret_cast<const WAVEFORMATEX*>(mt.Format()),
                                mt.FormatLength());
}

bool CWavSink::FinishFile() {
    CAutoLock lock(&m_csFile);
    return m_Writer.Finish();
}

std::string CWavSink::FileError() {
    CAutoLock lock(&m_csFile);
    return m_StreamError.empty() ? m_Writer.Error() : m_StreamError;
}

HRESULT CWavSink::OnSample(IMediaSample* pSample) {
    const AM_SAMPLE2_PROPERTIES* props = m_Pin.SampleProps();
    BYTE* pData = nullptr;
    HRESULT hr = pSample->GetPointer(&pData);
    if (FAILED(hr))
        return hr;
    const long cb =
        std::clamp<long>(pSample->GetActualDataLength(), 0, std::max<long>(pSample->GetSize(), 0));
    {
        CAutoLock lock(&m_csFile);
        bool ok = true;
        // One WAV file holds one format: a sample announcing another one ends the run.
        if ((props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType) {
            const AM_MEDIA_TYPE& mt = *props->pMediaType;
            const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
            if (!IsWaveFormat(mt) || wfx->nChannels != m_wfx.nChannels ||
                wfx->nSamplesPerSec != m_wfx.nSamplesPerSec ||
                wfx->nBlockAlign != m_wfx.nBlockAlign ||
                wfx->wBitsPerSample != m_wfx.wBitsPerSample) {
                m_StreamError = "the stream changed its format, and a WAV file holds one";
                ok = false;
            }
        }
        if (ok && cb > 0)
            ok = m_Writer.Write(pData, static_cast<size_t>(cb));
        if (!ok) {
            m_bWriteFailed = true;
            hr = E_FAIL;
        } else {
            m_cbWritten = m_Writer.DataBytes();
        }
    }
    if (FAILED(hr)) {
        NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
    }
    if (props->dwSampleFlags & AM_SAMPLE_STOPVALID)
        m_tPosition = std::max(m_tPosition.load(), props->tStop);
    return S_OK;
}

void CWavSink::OnEndOfStream() {
    bool notify = false;
    {
        CAutoLock lock(&m_csFile);
        if (IsStopped() || m_Pin.IsFlushing())
            return;
        notify = State() == State_Running;
        m_bEosPending = !notify;
    }
    if (notify)
        NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
}

void CWavSink::OnBeginFlush() {
    // A flush cancels an end of stream not yet reported.
    CAutoLock lock(&m_csFile);
    m_bEosPending = false;
}
