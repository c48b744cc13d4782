#include "posix/FilterGraph.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <new>

namespace {

// The object's identity, for comparing interface pointers of one object.
IUnknown* Identity(IUnknown* p) {
    IUnknown* pUnk = nullptr;
    if (!p || FAILED(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk))))
        return nullptr;
    pUnk->Release(); // the object stays alive through the caller's reference
    return pUnk;
}

// The filter a pin belongs to, with a reference.
ComPtr<IBaseFilter> OwnerOf(IPin* pPin) {
    PIN_INFO info{};
    if (FAILED(pPin->QueryPinInfo(&info)))
        return nullptr;
    return ComPtr<IBaseFilter>::Attach(info.pFilter);
}

// Calls f for every pin of the filter, in order.
template <class F> void ForEachPin(IBaseFilter* pFilter, F&& f) {
    ComPtr<IEnumPins> pEnum;
    if (FAILED(pFilter->EnumPins(&pEnum)) || !pEnum)
        return;
    for (;;) {
        IPin* p = nullptr;
        ULONG fetched = 0;
        if (pEnum->Next(1, &p, &fetched) != S_OK || fetched != 1)
            return;
        ComPtr<IPin> pPin = ComPtr<IPin>::Attach(p);
        f(pPin.Get());
    }
}

// Disconnects both ends of every connection of the filter.
void DisconnectAll(IBaseFilter* pFilter) {
    ForEachPin(pFilter, [](IPin* pPin) {
        ComPtr<IPin> pPeer;
        if (SUCCEEDED(pPin->ConnectedTo(&pPeer)) && pPeer)
            pPeer->Disconnect();
        pPin->Disconnect();
    });
}

std::wstring Numbered(const std::wstring& base, unsigned n) {
    wchar_t suffix[16];
    std::swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L" %04u", n);
    return base + suffix;
}

} // namespace

CFilterGraph::CFilterGraph() noexcept : CUnknown("CFilterGraph", nullptr) {}

CFilterGraph::~CFilterGraph() {
    Stop();
    for (const Member& m : m_Members)
        DisconnectAll(m.pFilter.Get());
    for (const Member& m : m_Members)
        m.pFilter->JoinFilterGraph(nullptr, nullptr);
    m_Members.clear();
}

HRESULT CFilterGraph::Create(CFilterGraph** ppGraph) noexcept {
    if (!ppGraph)
        return E_POINTER;
    *ppGraph = nullptr;
    CFilterGraph* p = new (std::nothrow) CFilterGraph();
    if (!p)
        return E_OUTOFMEMORY;
    p->NonDelegatingAddRef();
    *ppGraph = p;
    return S_OK;
}

STDMETHODIMP CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IFilterGraph))
        return GetInterface(static_cast<IFilterGraph*>(this), ppv);
    if (IsEqualIID(riid, IID_IMediaEventSink))
        return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// ---- membership ----------------------------------------------------------------------------

const CFilterGraph::Member* CFilterGraph::Find(IBaseFilter* pFilter) const {
    IUnknown* pId = Identity(pFilter);
    for (const Member& m : m_Members) {
        if (Identity(m.pFilter.Get()) == pId)
            return &m;
    }
    return nullptr;
}

bool CFilterGraph::NameTaken(const std::wstring& name) const {
    return std::any_of(m_Members.begin(), m_Members.end(),
                       [&name](const Member& m) { return m.name == name; });
}

bool CFilterGraph::PinInGraph(IPin* pPin) const {
    ComPtr<IBaseFilter> pOwner = OwnerOf(pPin);
    return pOwner && Find(pOwner.Get());
}

STDMETHODIMP CFilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName) {
    if (!pFilter)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    if (m_State.load() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    // Keep the filter's own IBaseFilter: the pointer it names itself with in its events.
    ComPtr<IBaseFilter> pBase;
    HRESULT hr = pFilter->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&pBase));
    if (FAILED(hr))
        return hr;
    if (Find(pBase.Get()))
        return E_INVALIDARG; // already a member
    try {
        bool bRenamed = false;
        std::wstring name;
        if (pName && *pName) {
            name = pName;
            for (unsigned n = 1; NameTaken(name); ++n) {
                if (n > 9999)
                    return E_FAIL;
                name = Numbered(pName, n);
                bRenamed = true;
            }
        } else {
            do {
                name = L"Filter " + std::to_wstring(m_NextNumber++);
            } while (NameTaken(name));
        }
        m_Members.reserve(m_Members.size() + 1); // the join below must not be undone
        hr = pBase->JoinFilterGraph(static_cast<IFilterGraph*>(this), name.c_str());
        if (FAILED(hr))
            return hr;
        m_Members.push_back(Member{pBase, std::move(name)});
        return bRenamed ? VFW_S_DUPLICATE_NAME : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CFilterGraph::RemoveFilter(IBaseFilter* pFilter) {
    if (!pFilter)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    if (m_State.load() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    const Member* pMember = Find(pFilter);
    if (!pMember)
        return VFW_E_NOT_FOUND;
    ComPtr<IBaseFilter> pGone = pMember->pFilter;
    m_Members.erase(m_Members.begin() + (pMember - m_Members.data()));
    DisconnectAll(pGone.Get());
    pGone->JoinFilterGraph(nullptr, nullptr);
    return S_OK;
}

STDMETHODIMP CFilterGraph::EnumFilters(IEnumFilters** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) {
    if (!ppFilter)
        return E_POINTER;
    *ppFilter = nullptr;
    if (!pName)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    for (const Member& m : m_Members) {
        if (m.name == pName) {
            *ppFilter = m.pFilter.Get();
            (*ppFilter)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CFilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) {
    if (!ppinOut || !ppinIn)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    if (m_State.load() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (!PinInGraph(ppinOut) || !PinInGraph(ppinIn))
        return VFW_E_NOT_IN_GRAPH;
    PIN_DIRECTION dirOut = PINDIR_INPUT, dirIn = PINDIR_OUTPUT;
    if (FAILED(ppinOut->QueryDirection(&dirOut)) || FAILED(ppinIn->QueryDirection(&dirIn)) ||
        dirOut != PINDIR_OUTPUT || dirIn != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    return ppinOut->Connect(ppinIn, pmt);
}

STDMETHODIMP CFilterGraph::Reconnect(IPin*) {
    return E_NOTIMPL;
}

STDMETHODIMP CFilterGraph::Disconnect(IPin* ppin) {
    if (!ppin)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    if (m_State.load() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    return ppin->Disconnect();
}

STDMETHODIMP CFilterGraph::SetDefaultSyncSource() {
    return S_OK;
}

size_t CFilterGraph::FilterCount() const {
    CAutoLock lock(&m_csGraph);
    return m_Members.size();
}

// ---- state ---------------------------------------------------------------------------------

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() const {
    const size_t n = m_Members.size();
    std::vector<IUnknown*> ids(n);
    for (size_t i = 0; i < n; ++i)
        ids[i] = Identity(m_Members[i].pFilter.Get());
    // downstream[i]: the members fed by member i's output pins.
    std::vector<std::vector<size_t>> downstream(n);
    for (size_t i = 0; i < n; ++i) {
        ForEachPin(m_Members[i].pFilter.Get(), [&](IPin* pPin) {
            PIN_DIRECTION dir = PINDIR_INPUT;
            ComPtr<IPin> pPeer;
            if (FAILED(pPin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT ||
                FAILED(pPin->ConnectedTo(&pPeer)) || !pPeer)
                return;
            ComPtr<IBaseFilter> pOwner = OwnerOf(pPeer.Get());
            const auto it = std::find(ids.begin(), ids.end(), Identity(pOwner.Get()));
            if (it != ids.end())
                downstream[i].push_back(static_cast<size_t>(it - ids.begin()));
        });
    }
    // A filter goes once everything it feeds has gone; a cycle (none in a valid graph)
    // goes last in member order.
    std::vector<IBaseFilter*> order;
    std::vector<bool> placed(n, false);
    while (order.size() < n) {
        bool bProgress = false;
        for (size_t i = 0; i < n; ++i) {
            if (placed[i])
                continue;
            const bool bReady = std::all_of(downstream[i].begin(), downstream[i].end(),
                                            [&placed](size_t d) { return placed[d]; });
            if (bReady) {
                placed[i] = true;
                order.push_back(m_Members[i].pFilter.Get());
                bProgress = true;
            }
        }
        if (!bProgress) {
            for (size_t i = 0; i < n; ++i) {
                if (!placed[i]) {
                    placed[i] = true;
                    order.push_back(m_Members[i].pFilter.Get());
                }
            }
        }
    }
    return order;
}

void CFilterGraph::StopAll() {
    for (IBaseFilter* pFilter : DownstreamFirst())
        pFilter->Stop();
    m_State = State_Stopped;
}

HRESULT CFilterGraph::Pause() {
    try {
        HRESULT hr = S_OK;
        {
            CAutoLock lock(&m_csGraph);
            const FILTER_STATE from = m_State.load();
            if (from == State_Paused)
                return S_OK;
            const std::vector<IBaseFilter*> order = DownstreamFirst();
            if (from == State_Stopped) {
                // A new run: learn the renderers and forget the last run's events.
                std::vector<IBaseFilter*> renderers;
                for (IBaseFilter* pFilter : order) {
                    ComPtr<IAMFilterMiscFlags> pFlags;
                    if (SUCCEEDED(pFilter->QueryInterface(IID_IAMFilterMiscFlags,
                                                          reinterpret_cast<void**>(&pFlags))) &&
                        (pFlags->GetMiscFlags() & AM_FILTER_MISC_FLAGS_IS_RENDERER))
                        renderers.push_back(pFilter);
                }
                std::lock_guard<std::mutex> eventLock(m_eventMutex);
                m_Renderers = std::move(renderers);
                m_Completed.clear();
                m_cAnonymousCompletions = 0;
                m_bAborted = false;
            }
            for (IBaseFilter* pFilter : order) {
                hr = pFilter->Pause();
                if (FAILED(hr))
                    break;
            }
            if (FAILED(hr))
                StopAll();
            else
                m_State = State_Paused;
        }
        // A waiter for a running graph has nothing more to wait for.
        { std::lock_guard<std::mutex> eventLock(m_eventMutex); }
        m_cvEvent.notify_all();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CFilterGraph::Run() {
    try {
        CAutoLock lock(&m_csGraph);
        if (m_State.load() == State_Running)
            return S_OK;
        if (m_State.load() == State_Stopped) {
            const HRESULT hr = Pause();
            if (FAILED(hr))
                return hr;
        }
        for (IBaseFilter* pFilter : DownstreamFirst()) {
            const HRESULT hr = pFilter->Run(0);
            if (FAILED(hr)) {
                StopAll();
                return hr;
            }
        }
        m_State = State_Running;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CFilterGraph::Stop() {
    HRESULT hr = S_OK;
    try {
        CAutoLock lock(&m_csGraph);
        if (m_State.load() == State_Stopped)
            return S_OK;
        const std::vector<IBaseFilter*> order = DownstreamFirst();
        if (m_State.load() == State_Running) {
            for (IBaseFilter* pFilter : order)
                pFilter->Pause();
        }
        for (IBaseFilter* pFilter : order) {
            const HRESULT hrFilter = pFilter->Stop();
            if (FAILED(hrFilter) && SUCCEEDED(hr))
                hr = hrFilter;
        }
        m_State = State_Stopped;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    { std::lock_guard<std::mutex> eventLock(m_eventMutex); }
    m_cvEvent.notify_all();
    return hr;
}

// ---- events --------------------------------------------------------------------------------

STDMETHODIMP CFilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        try {
            m_Events.push_back(GraphEvent{EventCode, EventParam1, EventParam2});
            if (EventCode == EC_COMPLETE) {
                // The sender names itself in the second parameter (CBaseFilter::NotifyEvent).
                auto* pSender = reinterpret_cast<IBaseFilter*>(EventParam2);
                if (!pSender)
                    ++m_cAnonymousCompletions;
                else if (std::find(m_Completed.begin(), m_Completed.end(), pSender) ==
                         m_Completed.end())
                    m_Completed.push_back(pSender);
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if ((EventCode == EC_ERRORABORT || EventCode == EC_USERABORT) && !m_bAborted) {
            m_bAborted = true;
            m_Abort = GraphEvent{EventCode, EventParam1, EventParam2};
        }
    }
    m_cvEvent.notify_all();
    return S_OK;
}

HRESULT CFilterGraph::WaitForCompletion(DWORD timeoutMs, LONG* pEvCode, LONG_PTR* pParam1) {
    if (!pEvCode)
        return E_POINTER;
    *pEvCode = 0;
    if (pParam1)
        *pParam1 = 0;
    std::unique_lock<std::mutex> lock(m_eventMutex);
    const auto complete = [this] {
        if (m_Renderers.empty())
            return false;
        size_t done = m_cAnonymousCompletions;
        for (IBaseFilter* pRenderer : m_Renderers)
            done += std::count(m_Completed.begin(), m_Completed.end(), pRenderer);
        return done >= m_Renderers.size();
    };
    const auto finished = [&] {
        return m_bAborted || complete() || m_State.load() != State_Running;
    };
    if (timeoutMs == kInfinite)
        m_cvEvent.wait(lock, finished);
    else if (!m_cvEvent.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished))
        return E_ABORT;
    if (m_State.load() != State_Running)
        return VFW_E_WRONG_STATE;
    if (m_bAborted) {
        *pEvCode = m_Abort.code;
        if (pParam1)
            *pParam1 = m_Abort.param1;
        return S_OK;
    }
    *pEvCode = EC_COMPLETE;
    return S_OK;
}

std::vector<GraphEvent> CFilterGraph::Events() const {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    return m_Events;
}

void CFilterGraph::ClearEvents() {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    m_Events.clear();
}
