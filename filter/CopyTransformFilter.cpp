#include "CopyTransformFilter.h"

#include "control/Settings.h"
#include "control/SettingsPath.h"

#include <algorithm>
#include <cstring>
#include <new>

CUnknown* CCopyTransformFilter::CreateInstance(IUnknown* pUnkOuter, HRESULT* phr) {
    auto* pFilter = new (std::nothrow) CCopyTransformFilter(pUnkOuter, phr);
    if (!pFilter && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

CCopyTransformFilter::CCopyTransformFilter(IUnknown* pUnk, HRESULT* phr)
    : CTransformFilter(nullptr, pUnk, CLSID_Velomix) {
    m_strIniPath = SettingsFilePath();
    const InitSettings init = ReadInitSettings(m_strIniPath);
    m_bFast = init.bFast;
    m_bHighEffect = init.bHighEffect;
    m_nHighEffectLen = init.nHighEffectLen;

    m_CommServer.Start(static_cast<IVelomixProp*>(this));

    CAutoLock lock(&m_csFilter);
    m_bDuplicateUpstream = false;
    if (phr && FAILED(*phr))
        return;
    HRESULT hr = S_OK;
    m_pOutput = new (std::nothrow) CCopyTransformOutputPin(this, &hr);
    if (!m_pOutput) {
        hr = E_OUTOFMEMORY;
    } else if (FAILED(hr)) {
        delete m_pOutput;
        m_pOutput = nullptr;
    }
    HRESULT hrIn = S_OK;
    m_pInput = new (std::nothrow) CCopyTransformInputPin(this, &hrIn);
    if (!m_pInput) {
        hrIn = E_OUTOFMEMORY;
    } else if (FAILED(hrIn)) {
        delete m_pInput;
        m_pInput = nullptr;
    }
    if (phr && FAILED(hr))
        *phr = hr;
    else if (phr && FAILED(hrIn))
        *phr = hrIn;
}

CCopyTransformFilter::~CCopyTransformFilter() {
    // No setter may arrive from the control server once teardown begins.
    m_CommServer.Stop();
    m_Processor.Free();
}

STDMETHODIMP CCopyTransformFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IVelomixProp))
        return GetInterface(static_cast<IVelomixProp*>(this), ppv);
    if (IsEqualIID(riid, IID_ISpecifyPropertyPages))
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

// ---- connection ------------------------------------------------------------------------------

HRESULT CCopyTransformFilter::CheckInputType(const CMediaType* mtIn) {
    if (!mtIn)
        return E_POINTER;
    const HRESULT hr = ParseAudioFormat(*mtIn, nullptr);
    if (FAILED(hr))
        return hr;
    if (m_bDuplicateUpstream)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CCopyTransformFilter::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
    if (!mtIn || !mtOut)
        return E_POINTER;
    return *mtIn == *mtOut ? S_OK : E_FAIL;
}

HRESULT CCopyTransformFilter::GetMediaType(int iPosition, CMediaType* pMediaType) {
    if (!m_pInput->IsConnected())
        return E_UNEXPECTED;
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    return pMediaType->Set(m_pInput->CurrentMediaType());
}

HRESULT CCopyTransformFilter::DecideBufferSize(IMemAllocator* pAllocator, ALLOCATOR_PROPERTIES* pProp) {
    if (!m_pInput->IsConnected())
        return E_UNEXPECTED;
    if (!pAllocator || !pProp)
        return E_POINTER;

    ComPtr<IMemAllocator> pInAlloc;
    HRESULT hr = m_pInput->GetAllocator(&pInAlloc);
    if (FAILED(hr))
        return hr;
    ALLOCATOR_PROPERTIES inProps{};
    hr = pInAlloc->GetProperties(&inProps);
    pInAlloc.Reset();
    if (FAILED(hr))
        return hr;

    pProp->cBuffers = std::max<LONG>(inProps.cBuffers, 1);
    pProp->cbBuffer = inProps.cbBuffer;
    if (pProp->cbBuffer < 1)
        pProp->cbBuffer = static_cast<LONG>(m_pInput->CurrentMediaType().GetSampleSize());

    ALLOCATOR_PROPERTIES actual{};
    hr = pAllocator->SetProperties(pProp, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < pProp->cBuffers || actual.cbBuffer < pProp->cbBuffer ||
        actual.cbAlign < pProp->cbAlign)
        return E_FAIL;
    return S_OK;
}

IBaseFilter* CCopyTransformFilter::FindUpstreamFilter(IBaseFilter* pFilter, PIN_DIRECTION dir) {
    ComPtr<IEnumPins> pEnum;
    if (FAILED(pFilter->EnumPins(&pEnum)) || !pEnum)
        return nullptr;
    for (;;) {
        ComPtr<IPin> pPin;
        ULONG fetched = 0;
        if (pEnum->Next(1, &pPin, &fetched) != S_OK || fetched != 1)
            return nullptr;
        PIN_INFO info{};
        if (FAILED(pPin->QueryPinInfo(&info)))
            return nullptr;
        if (info.pFilter)
            info.pFilter->Release();
        if (info.dir != dir)
            continue;
        ComPtr<IPin> pConnected;
        if (FAILED(pPin->ConnectedTo(&pConnected)) || !pConnected)
            return nullptr;
        PIN_INFO peer{};
        if (FAILED(pConnected->QueryPinInfo(&peer)))
            return nullptr;
        return peer.pFilter; // the caller owns this reference
    }
}

HRESULT CCopyTransformFilter::CheckConnect(PIN_DIRECTION, IPin* pPin) {
    if (!pPin)
        return S_OK;
    PIN_INFO info{};
    if (FAILED(pPin->QueryPinInfo(&info)) || !info.pFilter)
        return S_OK;
    ComPtr<IBaseFilter> pCurrent = ComPtr<IBaseFilter>::Attach(info.pFilter);
    auto isOurClass = [](IBaseFilter* p) {
        CLSID clsid{};
        return SUCCEEDED(p->GetClassID(&clsid)) && IsEqualCLSID(clsid, CLSID_Velomix);
    };
    if (isOurClass(pCurrent.Get())) {
        m_bDuplicateUpstream = true;
        return S_OK;
    }
    // Follow the first input pin of each filter upstream. A graph never holds a cycle of
    // connections, but the walk is bounded all the same.
    for (int depth = 0; depth < 1024; ++depth) {
        ComPtr<IBaseFilter> pNext = ComPtr<IBaseFilter>::Attach(FindUpstreamFilter(pCurrent.Get(), PINDIR_INPUT));
        if (!pNext)
            break;
        if (isOurClass(pNext.Get())) {
            m_bDuplicateUpstream = true;
            break;
        }
        pCurrent = std::move(pNext);
    }
    return S_OK;
}

HRESULT CCopyTransformFilter::BreakConnect(PIN_DIRECTION dir) {
    if (dir == PINDIR_OUTPUT)
        m_bDuplicateUpstream = false;
    return S_OK;
}

// ---- streaming -----------------------------------------------------------------------------

namespace {

// S_OK -> true, S_FALSE -> false, anything else is an error.
bool ReadFlag(HRESULT hr, bool* pFlag) {
    if (hr == S_OK)
        *pFlag = true;
    else if (hr == S_FALSE)
        *pFlag = false;
    else
        return false;
    return true;
}

} // namespace

HRESULT CCopyTransformFilter::CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut) {
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (pIn->GetTime(&tStart, &tStop) == S_OK)
        pOut->SetTime(&tStart, &tStop);
    LONGLONG mtStart = 0, mtStop = 0;
    if (pIn->GetMediaTime(&mtStart, &mtStop) == S_OK)
        pOut->SetMediaTime(&mtStart, &mtStop);

    bool bFlag = false;
    if (!ReadFlag(pIn->IsSyncPoint(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetSyncPoint(bFlag ? TRUE : FALSE);

    AM_MEDIA_TYPE* pmt = nullptr;
    if (pIn->GetMediaType(&pmt) == S_OK && pmt) {
        const HRESULT hr = pOut->SetMediaType(pmt);
        if (SUCCEEDED(hr))
            m_bStreamFormatValid = SUCCEEDED(ParseAudioFormat(*pmt, &m_StreamFormat));
        DeleteMediaType(pmt);
        if (FAILED(hr))
            return hr;
    } else {
        pOut->SetMediaType(nullptr);
    }

    if (!ReadFlag(pIn->IsPreroll(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetPreroll(bFlag ? TRUE : FALSE);
    if (!ReadFlag(pIn->IsDiscontinuity(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetDiscontinuity(bFlag ? TRUE : FALSE);
    return S_OK;
}

HRESULT CCopyTransformFilter::Transform(IMediaSample* pIn, IMediaSample* pOut) {
    if (!pIn || !pOut)
        return E_POINTER;
    HRESULT hr = CopySampleProperties(pIn, pOut);
    if (FAILED(hr))
        return hr;

    BYTE* pSrc = nullptr;
    BYTE* pDst = nullptr;
    hr = pIn->GetPointer(&pSrc);
    if (FAILED(hr))
        return hr;
    hr = pOut->GetPointer(&pDst);
    if (FAILED(hr))
        return hr;

    // Never trust the lengths upstream reports beyond its own buffer, nor write past ours.
    const LONG cbIn = std::clamp<LONG>(pIn->GetActualDataLength(), 0, std::max<LONG>(pIn->GetSize(), 0));
    const LONG cbOutSize = std::max<LONG>(pOut->GetSize(), 0);

    // The stream's format: the connection type, or the type a sample last carried.
    if (!m_bStreamFormatValid)
        return VFW_E_INVALIDMEDIATYPE;
    UpdateProcessorFormat(m_StreamFormat);
    ApplySpeedChanges();

    LONG cbOut = 0;
    if (m_Processor.m_bActive) {
        m_Processor.ProcessInput(pSrc, cbIn);
        cbOut = m_Processor.ReadOutput(pDst, cbOutSize);
    } else {
        cbOut = std::min(cbIn, cbOutSize);
        if (cbOut > 0) // an empty sample may have no buffer at all
            std::memcpy(pDst, pSrc, static_cast<size_t>(cbOut));
    }
    hr = pOut->SetActualDataLength(cbOut);
    if (FAILED(hr))
        return hr;

    REFERENCE_TIME tStart = 0, tStop = 0;
    hr = pIn->GetTime(&tStart, &tStop);
    if (hr == S_OK) {
        m_rtTailStart = tStop;
        m_bTailTimeValid = true;
    }
    return S_OK;
}

void CCopyTransformFilter::UpdateProcessorFormat(const AudioFormat& fmt) {
    if (fmt.nChannels == m_Processor.m_nChannels && fmt.nSamplesPerSec == m_Processor.m_nSamplesPerSec &&
        fmt.wBitsPerSample == m_Processor.m_wBitsPerSample && fmt.bFloat == m_Processor.m_bFloat)
        return;
    if (fmt.nChannels == 1)
        m_nHighEffectLen = 32;
    m_Processor.Configure(fmt.nChannels, fmt.nSamplesPerSec, fmt.wBitsPerSample, m_bFast, m_bHighEffect,
                          m_nHighEffectLen, 82, 14, 12, fmt.bFloat);
    // A new processor starts at normal speed: give it the current values, latched or not.
    ApplySpeedChanges(true);
}

HRESULT CCopyTransformFilter::DeliverTail() {
    if (!m_Processor.m_bActive || !m_Processor.Drain())
        return S_OK;
    const LONG nAvgBytesPerSec = m_StreamFormat.nBlockAlign * m_StreamFormat.nSamplesPerSec;
    while (m_Processor.BufferedBytes() > 0) {
        REFERENCE_TIME tStart = m_rtTailStart;
        IMediaSample* pRaw = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&pRaw, m_bTailTimeValid ? &tStart : nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        ComPtr<IMediaSample> pOut = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* pDst = nullptr;
        hr = pOut->GetPointer(&pDst);
        if (FAILED(hr))
            return hr;
        const LONG cb = m_Processor.ReadOutput(pDst, std::max<LONG>(pOut->GetSize(), 0));
        if (cb <= 0)
            break;
        pOut->SetActualDataLength(cb);
        pOut->SetSyncPoint(TRUE);
        pOut->SetDiscontinuity(FALSE);
        pOut->SetPreroll(FALSE);
        if (m_bTailTimeValid && nAvgBytesPerSec > 0) {
            REFERENCE_TIME tStop = tStart + static_cast<REFERENCE_TIME>(cb) * 10000000 / nAvgBytesPerSec;
            pOut->SetTime(&tStart, &tStop);
            m_rtTailStart = tStop;
        }
        hr = m_pOutput->Deliver(pOut.Get());
        if (hr != S_OK)
            return hr;
    }
    return S_OK;
}

HRESULT CCopyTransformFilter::EndOfStream() {
    // The engine still holds the last fraction of a second: deliver it before the end.
    const HRESULT hr = DeliverTail();
    if (FAILED(hr))
        m_Processor.Clear();
    return CTransformFilter::EndOfStream();
}

HRESULT CCopyTransformFilter::EndFlush() {
    {
        // Upstream has stopped pushing (BeginFlush came first); wait for a sample in
        // progress, then forget everything from before the seek.
        CAutoLock lock(&m_csReceive);
        m_Processor.Clear();
        m_bTailTimeValid = false;
    }
    return CTransformFilter::EndFlush();
}

HRESULT CCopyTransformFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
    if (dir == PINDIR_INPUT && pmt) {
        // A new connection type: samples follow it until one carries a type of its own. Read
        // once here, not for every sample.
        CAutoLock lock(&m_csReceive);
        m_bStreamFormatValid = SUCCEEDED(ParseAudioFormat(*pmt, &m_StreamFormat));
        return S_OK;
    }
    return S_OK;
}
