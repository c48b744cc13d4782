// The seeking pass-through for the native build: the published behaviour of
// CLSID_SeekingPassThru, made through CreatePosPassThru (Platform.h).
//
// The object is aggregated by the pin that hands it out; it answers IMediaSeeking,
// IMediaPosition and ISeekingPassThru through that pin's identity. After Init(bRenderer, pPin)
// every call is forwarded to the pin connected upstream of pPin and that pin's result is
// returned unchanged; nothing is scaled or cached, so a filter that changes tempo or rate
// still reports the upstream's durations, positions and rates.
//
//  - Not initialised: E_UNEXPECTED. pPin not connected: VFW_E_NOT_CONNECTED. The upstream pin
//    has no IMediaSeeking: E_NOTIMPL. Required out-pointers are checked first (E_POINTER).
//  - IMediaPosition goes to the upstream's IMediaPosition when it has one, else it is
//    translated to the upstream's IMediaSeeking (REFTIME seconds <-> 100 ns units; the
//    upstream's time format is taken to be media time); put_PrerollTime then is E_NOTIMPL.
//    Its IDispatch methods are E_NOTIMPL.
//  - bRenderer is recorded only: a renderer's own position tracking is not provided, so
//    GetCurrentPosition is forwarded like the rest.
//
// Calls run on the caller's thread and take no lock; Init stores the pin atomically. The pin
// is not AddRef'd: it owns this object (through its aggregation) and outlives it.
#pragma once

#include "Unknown.h"
#include "media.h"

#include <atomic>

class CPosPassThru final : public CUnknown,
                           public IMediaSeeking,
                           public IMediaPosition,
                           public ISeekingPassThru {
public:
    // A new object aggregated by pOuter (null: standalone) and initialised with
    // Init(bRenderer, pPin); *ppInner receives its non-delegating IUnknown, one reference.
    static HRESULT Create(IUnknown* pOuter, BOOL bRenderer, IPin* pPin,
                          IUnknown** ppInner) noexcept;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // ISeekingPassThru: E_POINTER for a null pin; a second Init replaces the pin.
    STDMETHODIMP Init(BOOL bSupportRendering, IPin* pPin) override;

    // IMediaSeeking
    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                   const GUID* pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

    // IMediaPosition
    STDMETHODIMP get_Duration(REFTIME* plength) override;
    STDMETHODIMP put_CurrentPosition(REFTIME llTime) override;
    STDMETHODIMP get_CurrentPosition(REFTIME* pllTime) override;
    STDMETHODIMP get_StopTime(REFTIME* pllTime) override;
    STDMETHODIMP put_StopTime(REFTIME llTime) override;
    STDMETHODIMP get_PrerollTime(REFTIME* pllTime) override;
    STDMETHODIMP put_PrerollTime(REFTIME llTime) override;
    STDMETHODIMP put_Rate(double dRate) override;
    STDMETHODIMP get_Rate(double* pdRate) override;
    STDMETHODIMP CanSeekForward(LONG* pCanSeekForward) override;
    STDMETHODIMP CanSeekBackward(LONG* pCanSeekBackward) override;

private:
    explicit CPosPassThru(IUnknown* pOuter) noexcept;

    // The upstream pin's seeking or position interface, or the reason there is none.
    HRESULT PeerSeeking(IMediaSeeking** ppSeeking) const;
    HRESULT PeerPosition(IMediaPosition** ppPosition) const;
    HRESULT PeerUnknown(IPin** ppPeer) const;

    std::atomic<IPin*> m_pPin{nullptr};
    std::atomic<bool> m_bRenderer{false};
};
