#include "BaseFilter.h"

#include "BasePin.h"
#include "MediaTime.h"

#include <algorithm>
#include <cwchar>
#include <new>

namespace {

// Enumerates a filter's pins; out of sync when the filter's pin set changed.
class CEnumPins final : public CSimpleObject<IEnumPins, IID_IEnumPins> {
public:
    CEnumPins(CBaseFilter* pFilter, int position) noexcept
        : m_pFilter(pFilter), m_Position(position), m_Version(pFilter->GetPinVersion()) {}

    STDMETHODIMP Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override {
        if (!ppPins)
            return E_POINTER;
        if (pcFetched)
            *pcFetched = 0;
        else if (cPins > 1)
            return E_INVALIDARG;
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        ULONG fetched = 0;
        while (fetched < cPins && m_Position < m_pFilter->GetPinCount()) {
            CBasePin* pPin = m_pFilter->GetPin(m_Position++);
            if (!pPin)
                continue;
            ppPins[fetched] = pPin;
            pPin->AddRef();
            ++fetched;
        }
        if (pcFetched)
            *pcFetched = fetched;
        return fetched == cPins ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG cPins) override {
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        const int left = m_pFilter->GetPinCount() - m_Position;
        if (static_cast<LONG>(cPins) > left) {
            m_Position = m_pFilter->GetPinCount();
            return S_FALSE;
        }
        m_Position += static_cast<int>(cPins);
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        m_Version = m_pFilter->GetPinVersion();
        m_Position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins** ppEnum) override {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        if (OutOfSync())
            return VFW_E_ENUM_OUT_OF_SYNC;
        auto* p = new (std::nothrow) CEnumPins(m_pFilter.Get(), m_Position);
        if (!p)
            return E_OUTOFMEMORY;
        p->AddRef();
        *ppEnum = p;
        return S_OK;
    }

private:
    bool OutOfSync() const { return m_Version != m_pFilter->GetPinVersion(); }

    const ComPtr<CBaseFilter> m_pFilter;
    int m_Position;
    LONG m_Version;
};

void CopyName(WCHAR* dst, size_t cch, const std::wstring& src) {
    const size_t n = std::min(src.size(), cch - 1);
    std::wmemcpy(dst, src.c_str(), n);
    dst[n] = 0;
}

} // namespace

CBaseFilter::CBaseFilter(const char* pName, IUnknown* pUnk, CCritSec* pLock,
                         REFCLSID clsid) noexcept
    : CUnknown(pName, pUnk), m_clsid(clsid), m_pLock(pLock) {}

CBaseFilter::~CBaseFilter() = default;

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IBaseFilter))
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (IsEqualIID(riid, IID_IMediaFilter))
        return GetInterface(static_cast<IMediaFilter*>(this), ppv);
    if (IsEqualIID(riid, IID_IPersist))
        return GetInterface(static_cast<IPersist*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* pClsID) {
    if (!pClsID)
        return E_POINTER;
    *pClsID = m_clsid;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
    CAutoLock lock(m_pLock);
    HRESULT hr = S_OK;
    if (m_State.load() != State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                const HRESULT hrPin = pPin->Inactive();
                if (FAILED(hrPin) && SUCCEEDED(hr))
                    hr = hrPin;
            }
        }
    }
    m_State = State_Stopped;
    return hr;
}

STDMETHODIMP CBaseFilter::Pause() {
    CAutoLock lock(m_pLock);
    if (m_State.load() == State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                const HRESULT hr = pPin->Active();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart) {
    CAutoLock lock(m_pLock);
    m_tStart = tStart;
    if (m_State.load() == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State.load() != State_Running) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                const HRESULT hr = pPin->Run(tStart);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE* State) {
    if (!State)
        return E_POINTER;
    *State = m_State.load();
    return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* pClock) {
    CAutoLock lock(m_pLock);
    m_pClock = ComPtr<IReferenceClock>(pClock);
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** pClock) {
    if (!pClock)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pClock = ComPtr<IReferenceClock>(m_pClock).Detach();
    return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& rtStream) {
    CAutoLock lock(m_pLock);
    if (!m_pClock)
        return VFW_E_NO_CLOCK;
    const HRESULT hr = m_pClock->GetTime(&rtStream);
    if (FAILED(hr))
        return hr;
    // The start is the caller's of Run and may be anything.
    rtStream = SaturatingSub(rtStream, m_tStart);
    return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    auto* p = new (std::nothrow) CEnumPins(this, 0);
    if (!p)
        return E_OUTOFMEMORY;
    p->AddRef();
    *ppEnum = p;
    return S_OK;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (!Id)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* pPin = GetPin(i);
        if (!pPin)
            continue;
        LPWSTR pinId = nullptr;
        if (FAILED(pPin->QueryId(&pinId)))
            continue;
        const bool match = std::wcscmp(pinId, Id) == 0;
        CoTaskMemFree(pinId);
        if (match) {
            pPin->AddRef();
            *ppPin = pPin;
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
    if (!pInfo)
        return E_POINTER;
    CopyName(pInfo->achName, MAX_FILTER_NAME, m_Name);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
    CAutoLock lock(m_pLock);
    m_pGraph = pGraph;
    m_pSink = nullptr;
    if (pGraph) {
        // Kept without a reference, like the graph pointer itself.
        ComPtr<IMediaEventSink> pSink;
        if (SUCCEEDED(
                pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&pSink))))
            m_pSink = pSink.Get();
    }
    try {
        m_Name = pName ? pName : L"";
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR* pVendorInfo) {
    if (pVendorInfo)
        *pVendorInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT CBaseFilter::NotifyEvent(LONG EventCode, LONG_PTR EventParam1,
                                 LONG_PTR EventParam2) noexcept {
    IMediaEventSink* pSink = m_pSink;
    if (!pSink)
        return E_NOTIMPL;
    if (EventCode == EC_COMPLETE && EventParam2 == 0) {
        // The graph counts completions per renderer: name the sender.
        EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    }
    return pSink->Notify(EventCode, EventParam1, EventParam2);
}
