// CTransformFilter: one input pin, one output pin, one output sample per input sample.
//
// What a derived filter must provide: CheckInputType, CheckTransform, DecideBufferSize,
// GetMediaType and Transform. What it may override: StartStreaming / StopStreaming,
// CheckConnect / BreakConnect / CompleteConnect / SetMediaType per direction, AlterQuality,
// and the stream calls EndOfStream / BeginFlush / EndFlush / NewSegment (call the base).
//
// Receive path, on the upstream streaming thread under the streaming lock m_csReceive: an
// output sample from the output allocator with its properties preset from the input,
// Transform, delivery when Transform returns S_OK, dropped on S_FALSE. End of stream,
// flushes and new segments go downstream.
//
// Quality messages sent to the output pin: the filter's AlterQuality first; when it returns
// S_FALSE the input pin passes them on (PassNotify).
//
// Locks: m_csFilter (state and connections) before m_csReceive (streaming). A derived
// filter's own locks come after m_csReceive.
#pragma once

#include "BasePin.h"

#include <memory>

class CTransformFilter;

class CTransformInputPin : public CBaseInputPin {
public:
    CTransformInputPin(const char* pObjectName, CTransformFilter* pFilter, HRESULT* phr,
                       LPCWSTR pName) noexcept;

    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
    STDMETHODIMP Receive(IMediaSample* pSample) override;

    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT CheckStreaming() override;

protected:
    CTransformFilter* m_pTransformFilter;
};

class CTransformOutputPin : public CBaseOutputPin {
public:
    CTransformOutputPin(const char* pObjectName, CTransformFilter* pFilter, HRESULT* phr,
                        LPCWSTR pName) noexcept;
    ~CTransformOutputPin() override;

    // Adds IMediaSeeking and IMediaPosition, answered by a seeking pass-through to the
    // pin upstream of the filter's input, made on the first such query.
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;

    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;

protected:
    CTransformFilter* m_pTransformFilter;
    ComPtr<IUnknown> m_pPosition; // the aggregated pass-through's inner IUnknown
    CCritSec m_csPosition;
};

class CTransformFilter : public CBaseFilter {
public:
    CTransformFilter(const char* pName, IUnknown* pUnk, REFCLSID clsid) noexcept;
    ~CTransformFilter() override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;

    virtual HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) = 0;
    virtual HRESULT CheckInputType(const CMediaType* mtIn) = 0;
    virtual HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) = 0;
    virtual HRESULT DecideBufferSize(IMemAllocator* pAllocator, ALLOCATOR_PROPERTIES* pProp) = 0;
    virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) = 0;

    virtual HRESULT StartStreaming() { return S_OK; }
    virtual HRESULT StopStreaming() { return S_OK; }
    virtual HRESULT AlterQuality(Quality) { return S_FALSE; }
    virtual HRESULT SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
    virtual HRESULT CheckConnect(PIN_DIRECTION, IPin*) { return S_OK; }
    virtual HRESULT BreakConnect(PIN_DIRECTION) { return S_OK; }
    virtual HRESULT CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }

    // Called on the streaming thread under m_csReceive.
    virtual HRESULT Receive(IMediaSample* pSample);
    virtual HRESULT EndOfStream();
    // Called by the input pin under m_csFilter.
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

protected:
    // An output sample from the output allocator, its properties preset from the input.
    HRESULT InitializeOutputSample(IMediaSample* pSample, IMediaSample** ppOutSample);

    friend class CTransformInputPin;
    friend class CTransformOutputPin;

    bool m_bEOSDelivered = false;
    // Written by Pause (filter lock) and by Receive (streaming lock): atomic.
    std::atomic<bool> m_bSampleSkipped{false};
    std::atomic<bool> m_bQualityChanged{false};

    CCritSec m_csFilter;  // filter-state lock
    CCritSec m_csReceive; // streaming lock

    // Made by the derived filter's constructor. The pins' reference counts are the filter's:
    // they live exactly as long as the filter object.
    std::unique_ptr<CTransformInputPin> m_pInput;
    std::unique_ptr<CTransformOutputPin> m_pOutput;
};
