#include "CopyTransformFilter.h"

#include "DiagnosticLog.h"
#include "Environment.h"
#include "control/SettingsPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

CUnknown* CCopyTransformFilter::CreateInstance(IUnknown* pUnkOuter, HRESULT* phr) {
    auto* pFilter = new (std::nothrow) CCopyTransformFilter(pUnkOuter, phr);
    if (!pFilter && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

CCopyTransformFilter::CCopyTransformFilter(IUnknown* pUnk, HRESULT* phr)
    : CTransformFilter(nullptr, pUnk, CLSID_Velomix), m_strIniPath(SettingsFilePath()),
      m_Init(ReadInitSettings(m_strIniPath)) {
    m_bRestamp = m_Init.bRestamp;
    m_bSegmentRateMode = m_Init.bSegmentRate;
    if (phr && FAILED(*phr))
        return;
    const HRESULT hr = CreatePins();
    if (FAILED(hr)) {
        if (phr)
            *phr = hr;
        return;
    }
    if (EnvironmentIs("VELOMIX_CHANNEL", "off"))
        return;
    // Last: from here on the server's thread may call the IVelomixProp methods, which need a
    // whole filter.
    m_CommServer.emplace();
    if (!m_CommServer->Start(this))
        LogMessage(LogLevel::Warning, "no control channel; this filter runs without it");
}

// Output pin "Out" first, input pin "In" second, as hosts enumerate them.
HRESULT CCopyTransformFilter::CreatePins() {
    CAutoLock lock(&m_csFilter);
    HRESULT hr = S_OK;
    m_pOutput.reset(new (std::nothrow) CCopyTransformOutputPin(this, &hr));
    if (!m_pOutput)
        return E_OUTOFMEMORY;
    if (FAILED(hr))
        return hr;
    m_pInput.reset(new (std::nothrow) CCopyTransformInputPin(this, &hr));
    if (!m_pInput)
        return E_OUTOFMEMORY;
    return hr;
}

CCopyTransformFilter::~CCopyTransformFilter() {
    // No setter may arrive from the control server once teardown begins.
    if (m_CommServer)
        m_CommServer->Stop();
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
    if (hr == E_INVALIDARG)
        LogMessage(LogLevel::Info,
                   "refused: an audio type of a layout, rate or width it cannot take");
    if (FAILED(hr))
        return hr;
    if (m_bDuplicateUpstream) {
        LogMessage(LogLevel::Info, "refused: an instance of this filter is already upstream");
        return E_INVALIDARG;
    }
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
    return GetSingleMediaType(m_pInput->CurrentMediaType(), iPosition, pMediaType);
}

HRESULT CCopyTransformFilter::DecideBufferSize(IMemAllocator* pAllocator,
                                               ALLOCATOR_PROPERTIES* pProp) {
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
    // What the streaming path plans its outputs by, read here once rather than per sample.
    m_cbOutBuffer = actual.cbBuffer;
    return S_OK;
}

ComPtr<IBaseFilter> CCopyTransformFilter::FindUpstreamFilter(IBaseFilter* pFilter,
                                                             PIN_DIRECTION dir) {
    ComPtr<IEnumPins> pEnum;
    if (FAILED(pFilter->EnumPins(&pEnum)) || !pEnum)
        return {};
    for (;;) {
        ComPtr<IPin> pPin;
        ULONG fetched = 0;
        if (pEnum->Next(1, &pPin, &fetched) != S_OK || fetched != 1)
            return {};
        PIN_DIRECTION pinDir{};
        if (FAILED(pPin->QueryDirection(&pinDir)))
            return {};
        if (pinDir != dir)
            continue;
        ComPtr<IPin> pConnected;
        if (FAILED(pPin->ConnectedTo(&pConnected)) || !pConnected)
            return {};
        PIN_INFO peer{};
        if (FAILED(pConnected->QueryPinInfo(&peer)))
            return {};
        return ComPtr<IBaseFilter>::Attach(peer.pFilter);
    }
}

// The duplicate-instance guard. A second instance downstream of the first would apply the speed
// twice, and a graph builder that finds the filter by its merit would chain instances without
// end. The refusal sticks until this filter's output is disconnected: a builder that was refused
// tries the same object on its other routes, and those may join the first instance's stream
// further down where the walk upstream cannot see it; a disconnected output is where a builder
// takes the object out of its chain, and a fresh start is safe there.
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
        ComPtr<IBaseFilter> pNext = FindUpstreamFilter(pCurrent.Get(), PINDIR_INPUT);
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
