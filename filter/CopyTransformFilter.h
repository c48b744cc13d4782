// CCopyTransformFilter: the speed filter.
//
// Accepts uncompressed audio on its input pin "In" and delivers the same type on "Out". For
// every input media sample it delivers one output sample with the input's time stamps,
// media times and flags: a copy of the input at normal speed, or up to one buffer of
// time-stretched audio from its speed processor. Time stamps are never rescaled.
//
// Threads and locks: connection and state changes hold the filter-state lock m_csFilter;
// the upstream streaming thread runs Transform, end of stream and the processor under the
// streaming lock m_csReceive and takes m_csSpeed inside it; IVelomixProp callers (host,
// property page, control server) take m_csSpeed only. Order: m_csFilter, m_csReceive,
// m_csSpeed, then the cross-process mutex of the control server.
#pragma once

#include "AudioFormat.h"
#include "IVelomixProp.h"
#include "SpeedProcessor.h"
#include "Transform.h"
#include "CommServer.h"

#include <atomic>
#include <string>

// {43FF79DC-A363-4DA5-AD5C-2137A9343451}
VMX_DEFINE_GUID(CLSID_Velomix, 0x43FF79DC, 0xA363, 0x4DA5, 0xAD, 0x5C, 0x21, 0x37, 0xA9, 0x34,
                0x34, 0x51);
// {EAD9CA8A-BD46-4ECF-89D5-EF7DD2D08C1E}
VMX_DEFINE_GUID(CLSID_VelomixProp1, 0xEAD9CA8A, 0xBD46, 0x4ECF, 0x89, 0xD5, 0xEF, 0x7D, 0xD2, 0xD0,
                0x8C, 0x1E);

class CCopyTransformInputPin : public CTransformInputPin {
public:
    CCopyTransformInputPin(CTransformFilter* pFilter, HRESULT* phr) noexcept
        : CTransformInputPin(nullptr, pFilter, phr, L"In") {}
};

class CCopyTransformOutputPin : public CTransformOutputPin {
public:
    CCopyTransformOutputPin(CTransformFilter* pFilter, HRESULT* phr) noexcept
        : CTransformOutputPin(nullptr, pFilter, phr, L"Out") {}
};

class CCopyTransformFilter : public CTransformFilter, public IVelomixProp, public ISpecifyPropertyPages {
public:
    // The create function of the module's template table.
    static CUnknown* CreateInstance(IUnknown* pUnkOuter, HRESULT* phr);

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVelomixProp (contract in IVelomixProp.h)
    STDMETHODIMP SetTempo(double dTempo) override;
    STDMETHODIMP GetTempo(double* pdTempo) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP SetPitch(int nPitch) override;
    STDMETHODIMP GetPitch(int* pnPitch) override;

    // ISpecifyPropertyPages: the one page, CLSID_VelomixProp1, in task memory.
    STDMETHODIMP GetPages(CAUUID* pPages) override;

    // CTransformFilter
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;
    HRESULT CheckInputType(const CMediaType* mtIn) override;
    HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
    HRESULT DecideBufferSize(IMemAllocator* pAllocator, ALLOCATOR_PROPERTIES* pProp) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pPin) override;
    HRESULT BreakConnect(PIN_DIRECTION dir) override;
    HRESULT EndOfStream() override;
    HRESULT EndFlush() override;
    HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;

private:
    CCopyTransformFilter(IUnknown* pUnk, HRESULT* phr);
    ~CCopyTransformFilter() override;

    HRESULT CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut);
    // Reconfigures the processor when the stream's format differs from its configuration.
    void UpdateProcessorFormat(const AudioFormat& fmt);
    // Hands the speed values to the processor when a change is latched, or always (force).
    void ApplySpeedChanges(bool bForce = false);
    void ReadStretchTuning(double dTempo, int32_t& sequenceMs, int32_t& seekWindowMs,
                           int32_t& overlapMs);
    // Delivers what the processor still holds after end of stream.
    HRESULT DeliverTail();
    // The filter connected to the first pin of direction dir of pFilter, AddRef'd, or null.
    static IBaseFilter* FindUpstreamFilter(IBaseFilter* pFilter, PIN_DIRECTION dir);
    HRESULT SetSpeedValue(double CCopyTransformFilter::*pMember, double dValue);

    // Speed values under m_csSpeed.
    bool m_bSpeedChanged = false;
    double m_dTempo = 1.0;
    double m_dRate = 1.0;
    int m_nPitch = 0;
    std::atomic<bool> m_bDuplicateUpstream{false};

    // Streaming state: touched only on the streaming thread (or under m_csReceive).
    CSpeedProcessor m_Processor;
    AudioFormat m_StreamFormat;        // of the type samples currently carry
    bool m_bStreamFormatValid = false; // false until connected, or after a type it cannot take
    REFERENCE_TIME m_rtTailStart = 0; // where the tail after end of stream starts
    bool m_bTailTimeValid = false;

    bool m_bFast = true;
    bool m_bHighEffect = true;
    int32_t m_nHighEffectLen = 32;

    CCritSec m_csSpeed;
    CVelomixCommServer m_CommServer;
    std::string m_strIniPath;
};
