// Base pins: connection with media-type and allocator negotiation, and the streaming calls.
//
// A pin's reference count is its filter's. Connections change only while the filter is
// stopped and under the filter-state lock; ConnectedTo and ConnectionMediaType read without
// taking it, because a peer calls them from its streaming thread while a state change may
// hold that lock and wait for streaming to end.
//
// What a derived pin must provide: CheckMediaType. What it may override: GetMediaType (the
// types it offers), CheckConnect / BreakConnect / CompleteConnect, SetMediaType, Active /
// Inactive, and on output pins DecideBufferSize.
#pragma once

#include "BaseFilter.h"

class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    CBasePin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
             LPCWSTR pName, PIN_DIRECTION dir) noexcept;
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    // IPin
    STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override;
    STDMETHODIMP QueryId(LPWSTR* Id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override = 0;
    STDMETHODIMP EndFlush() override = 0;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;
    STDMETHODIMP SetSink(IQualityControl* piqc) override;

    // S_OK to accept the type; anything else refuses it.
    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    // The type at iPosition this pin offers: S_OK, VFW_S_NO_MORE_ITEMS past the end.
    virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType);
    virtual HRESULT SetMediaType(const CMediaType* pmt);
    virtual HRESULT CheckConnect(IPin* pPin);
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin* pReceivePin);
    virtual HRESULT Active();
    virtual HRESULT Inactive();
    virtual HRESULT Run(REFERENCE_TIME tStart);

    bool IsConnected() const noexcept { return static_cast<bool>(m_Connected); }
    IPin* GetConnected() const noexcept { return m_Connected.Get(); }
    const CMediaType& CurrentMediaType() const noexcept { return m_mt; }
    PIN_DIRECTION Direction() const noexcept { return m_dir; }
    const std::wstring& Name() const noexcept { return m_Name; }
    LONG GetMediaTypeVersion() const noexcept { return m_TypeVersion; }
    CBaseFilter* Filter() const noexcept { return m_pFilter; }
    bool IsStopped() const noexcept { return m_pFilter->IsStopped(); }

    REFERENCE_TIME CurrentStartTime() const noexcept { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const noexcept { return m_tStop; }
    double CurrentRate() const noexcept { return m_dRate; }

protected:
    HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt);
    HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum);
    HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt);
    HRESULT CheckStateForConnect() const;

    std::wstring m_Name;
    ComPtr<IPin> m_Connected;
    PIN_DIRECTION m_dir;
    CCritSec* m_pLock;
    std::atomic<bool> m_bRunTimeError{false};
    bool m_bTryMyTypesFirst = false;
    CBaseFilter* m_pFilter; // the owner; not AddRef'd (the pin's count is the filter's)
    // Set by SetSink under m_pLock; read without it by quality messages that come from a
    // streaming thread, which must not wait on a state change. Not AddRef'd: the platform's pins
    // hold their quality sink weakly.
    std::atomic<IQualityControl*> m_pQSink{nullptr};
    LONG m_TypeVersion = 1;
    CMediaType m_mt;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
    double m_dRate = 1.0;
};

// GetMediaType of a pin that offers exactly one type, mt: E_INVALIDARG before it,
// VFW_S_NO_MORE_ITEMS after it.
inline HRESULT GetSingleMediaType(const CMediaType& mt, int iPosition, CMediaType* pMediaType) {
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    return pMediaType->Set(mt);
}

// An output pin: negotiates the allocator and delivers downstream.
class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
                   LPCWSTR pName) noexcept;
    ~CBaseOutputPin() override;

    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Sizes the allocator: fill pProp and call SetProperties.
    virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) = 0;
    // Takes the downstream pin's allocator, or makes one; then sizes it and tells the peer.
    virtual HRESULT DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
    virtual HRESULT InitAllocator(IMemAllocator** ppAlloc);

    virtual HRESULT GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                      REFERENCE_TIME* pEndTime, DWORD dwFlags);
    virtual HRESULT Deliver(IMediaSample* pSample);
    virtual HRESULT DeliverEndOfStream();
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // An output pin receives no stream calls.
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

    IMemAllocator* Allocator() const noexcept { return m_pAllocator.Get(); }
    IMemInputPin* InputPin() const noexcept { return m_pInputPin.Get(); }

protected:
    ComPtr<IMemAllocator> m_pAllocator;
    ComPtr<IMemInputPin> m_pInputPin; // the peer's transport
};

// An input pin: offers an allocator and checks each received sample.
class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
                  LPCWSTR pName) noexcept;
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    // Checks the state and the sample, and records its properties (SampleProps()).
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample** pSamples, LONG nSamples,
                                 LONG* nSamplesProcessed) override;
    STDMETHODIMP ReceiveCanBlock() override;

    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

    // Quality messages travel upstream through output pins; one sent to an input pin is
    // accepted and dropped (S_OK).
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;
    // Sends a quality message on for this pin's filter: to the sink set on this pin, else to
    // the connected upstream pin's IQualityControl; VFW_E_NOT_FOUND when there is neither.
    HRESULT PassNotify(const Quality& q);

    HRESULT BreakConnect() override;
    HRESULT Inactive() override;

    // S_OK when samples may be received now; S_FALSE while flushing; an error otherwise.
    virtual HRESULT CheckStreaming();
    bool IsFlushing() const noexcept { return m_bFlushing.load(); }
    // After a stream error its filter reported: samples are refused with VFW_E_RUNTIME_ERROR
    // until the next stop or flush.
    void SetRunTimeError() noexcept { m_bRunTimeError = true; }
    bool IsReadOnly() const noexcept { return m_bReadOnly; }
    // Properties of the sample being received; valid during Receive on the streaming thread.
    AM_SAMPLE2_PROPERTIES* SampleProps() noexcept { return &m_SampleProps; }

protected:
    ComPtr<IMemAllocator> m_pAllocator;
    bool m_bReadOnly = false;
    std::atomic<bool> m_bFlushing{false};
    AM_SAMPLE2_PROPERTIES m_SampleProps{};
};
