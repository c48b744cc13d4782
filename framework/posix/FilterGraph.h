// CFilterGraph: a minimal filter graph for the native build (the host's stand-in for the
// platform's graph manager, without intelligent connect or a clock).
//
// Membership: AddFilter takes a reference and has the filter join under a unique name (a
// taken name gets " 0001", " 0002", ... appended and VFW_S_DUPLICATE_NAME; no name gives
// "Filter N"). Filters hold the graph without a reference. Adding, removing, connecting and
// disconnecting are refused while the graph is not stopped (VFW_E_NOT_STOPPED).
// ConnectDirect(out, in, pmt) checks that both pins belong to filters of this graph
// (VFW_E_NOT_IN_GRAPH) and face the right way (VFW_E_INVALID_DIRECTION), then calls
// out->Connect(in, pmt). Disconnect(pin) disconnects that one pin, as in DirectShow: a caller
// disconnects both ends. EnumFilters and Reconnect are E_NOTIMPL.
//
// State: Pause, Run and Stop go to every filter, downstream filters first. Stop pauses a
// running graph first, then stops it (as the platform does). A filter refusing Pause stops
// the graph again and its result is returned.
//
// Completion: events arrive through IMediaEventSink::Notify, from any thread (filters call
// it from their streaming threads). When every renderer of the graph (a filter reporting
// AM_FILTER_MISC_FLAGS_IS_RENDERER when the graph leaves Stopped) has sent EC_COMPLETE, or an
// EC_ERRORABORT / EC_USERABORT arrives, WaitForCompletion returns S_OK with that code.
//
// Destruction stops the graph, disconnects every pin of its filters (both ends) and releases
// them. Locks: the graph lock serialises membership and state changes and is held while
// filters change state; events have their own lock, never held while calling out, so a
// streaming thread's Notify cannot deadlock against a Stop that waits for it.
#pragma once

#include "ComPtr.h"
#include "Sync.h"
#include "Unknown.h"
#include "media.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#ifndef VFW_S_DUPLICATE_NAME
#define VFW_S_DUPLICATE_NAME ((HRESULT)0x0004022D)
#endif

struct GraphEvent {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
};

class CFilterGraph final : public CUnknown, public IFilterGraph, public IMediaEventSink {
public:
    static constexpr DWORD kInfinite = 0xFFFFFFFF;

    // A new, stopped, empty graph with one reference owned by the caller.
    static HRESULT Create(CFilterGraph** ppGraph) noexcept;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
    STDMETHODIMP RemoveFilter(IBaseFilter* pFilter) override;
    STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override;
    STDMETHODIMP FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
    STDMETHODIMP ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP Reconnect(IPin* ppin) override;
    STDMETHODIMP Disconnect(IPin* ppin) override;
    STDMETHODIMP SetDefaultSyncSource() override;

    // IMediaEventSink
    STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

    // ---- graph control: application threads, never a streaming thread ----
    HRESULT Pause();
    HRESULT Run();
    HRESULT Stop();
    FILTER_STATE GetState() const noexcept { return m_State.load(); }
    // Waits up to timeoutMs (kInfinite: no limit) for completion or an abort: S_OK with the
    // event's code in *pEvCode (and its first parameter, an HRESULT for EC_ERRORABORT, in
    // *pParam1 when given); E_ABORT on timeout; VFW_E_WRONG_STATE when the graph is not (or no
    // longer) running; E_POINTER for a null code.
    HRESULT WaitForCompletion(DWORD timeoutMs, LONG* pEvCode, LONG_PTR* pParam1 = nullptr);
    // Every event received since the graph was made (or ClearEvents), in order.
    std::vector<GraphEvent> Events() const;
    // Forgets the events received so far, for a graph kept for many streams; which renderers
    // completed and an abort are kept (Run starts those afresh).
    void ClearEvents();
    size_t FilterCount() const;

private:
    struct Member {
        ComPtr<IBaseFilter> pFilter;
        std::wstring name;
    };

    CFilterGraph() noexcept;
    ~CFilterGraph() override;

    // Under m_csGraph.
    const Member* Find(IBaseFilter* pFilter) const;
    bool NameTaken(const std::wstring& name) const;
    bool PinInGraph(IPin* pPin) const;
    std::vector<IBaseFilter*> DownstreamFirst() const;
    void StopAll();

    mutable CCritSec m_csGraph;
    std::vector<Member> m_Members;
    unsigned m_NextNumber = 1;
    std::atomic<FILTER_STATE> m_State{State_Stopped};

    mutable std::mutex m_eventMutex;
    std::condition_variable m_cvEvent;
    std::vector<GraphEvent> m_Events;
    std::vector<IBaseFilter*> m_Renderers; // not AddRef'd: members of the graph
    std::vector<IBaseFilter*> m_Completed;
    size_t m_cAnonymousCompletions = 0;
    bool m_bAborted = false;
    GraphEvent m_Abort{};
};
