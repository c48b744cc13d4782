// CBaseFilter: the state machine, pin enumeration and graph membership of a filter.
//
// What a derived filter must provide: GetPinCount and GetPin. What it may override: Stop,
// Pause and Run (call the base), GetPinVersion, and NonDelegatingQueryInterface for
// interfaces of its own (pass the rest to the base).
//
// Locking: every state change runs under the filter-state lock handed to the constructor.
// The state itself is atomic so that the streaming thread can test it without that lock.
#pragma once

#include "ComPtr.h"
#include "MediaType.h"
#include "Sync.h"
#include "Unknown.h"
#include "media.h"

#include <atomic>
#include <string>

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter {
public:
    CBaseFilter(const char* pName, IUnknown* pUnk, CCritSec* pLock, REFCLSID clsid) noexcept;
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClsID) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMSecs, FILTER_STATE* State) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* pVendorInfo) override;

    virtual int GetPinCount() = 0;
    // The pin at index n (inputs first), not AddRef'd; null when out of range.
    virtual CBasePin* GetPin(int n) = 0;
    virtual LONG GetPinVersion() { return m_PinVersion; }
    void IncrementPinVersion() noexcept { ++m_PinVersion; }

    bool IsActive() const noexcept { return m_State.load() != State_Stopped; }
    bool IsStopped() const noexcept { return m_State.load() == State_Stopped; }
    FILTER_STATE State() const noexcept { return m_State.load(); }
    // Current stream time from the graph clock; VFW_E_NO_CLOCK without one.
    virtual HRESULT StreamTime(REFERENCE_TIME& rtStream);
    // Reports an event (EC_COMPLETE, ...) to the graph, when it listens.
    HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) noexcept;
    IFilterGraph* GetFilterGraph() const noexcept { return m_pGraph; }

protected:
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    ComPtr<IReferenceClock> m_pClock;
    REFERENCE_TIME m_tStart = 0;
    CLSID m_clsid;
    CCritSec* m_pLock;
    std::wstring m_Name;
    // Not AddRef'd: the graph owns its filters, a reference back would be a cycle.
    IFilterGraph* m_pGraph = nullptr;
    IMediaEventSink* m_pSink = nullptr;
    LONG m_PinVersion = 1;
};
