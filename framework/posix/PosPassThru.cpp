#include "posix/PosPassThru.h"

#include "ComPtr.h"
#include "MediaTime.h"
#include "Platform.h"

#include <cmath>
#include <new>

namespace {

constexpr LONG kOaTrue = -1;
constexpr LONG kOaFalse = 0;

// Seconds to 100 ns units; E_INVALIDARG for what does not fit.
HRESULT ToUnits(REFTIME seconds, LONGLONG* pUnits) {
    const double units = std::round(seconds * static_cast<double>(kUnitsPerSecond));
    if (!std::isfinite(units) || units < -9.2e18 || units > 9.2e18)
        return E_INVALIDARG;
    *pUnits = static_cast<LONGLONG>(units);
    return S_OK;
}

REFTIME ToSeconds(LONGLONG units) {
    return static_cast<double>(units) / static_cast<double>(kUnitsPerSecond);
}

} // namespace

CPosPassThru::CPosPassThru(IUnknown* pOuter) noexcept : CUnknown("CPosPassThru", pOuter) {}

HRESULT CPosPassThru::Create(IUnknown* pOuter, BOOL bRenderer, IPin* pPin,
                             IUnknown** ppInner) noexcept {
    if (!ppInner)
        return E_POINTER;
    *ppInner = nullptr;
    if (!pPin)
        return E_POINTER;
    CPosPassThru* p = new (std::nothrow) CPosPassThru(pOuter);
    if (!p)
        return E_OUTOFMEMORY;
    p->NonDelegatingAddRef();
    p->Init(bRenderer, pPin);
    *ppInner = NonDelegatingUnknown(p);
    return S_OK;
}

HRESULT CreatePosPassThru(IUnknown* pOuter, BOOL bRenderer, IPin* pPin,
                          IUnknown** ppInner) noexcept {
    return CPosPassThru::Create(pOuter, bRenderer, pPin, ppInner);
}

STDMETHODIMP CPosPassThru::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IMediaSeeking))
        return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    if (IsEqualIID(riid, IID_IMediaPosition))
        return GetInterface(static_cast<IMediaPosition*>(this), ppv);
    if (IsEqualIID(riid, IID_ISeekingPassThru))
        return GetInterface(static_cast<ISeekingPassThru*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CPosPassThru::Init(BOOL bSupportRendering, IPin* pPin) {
    if (!pPin)
        return E_POINTER;
    m_bRenderer = bSupportRendering != FALSE;
    m_pPin = pPin;
    return S_OK;
}

HRESULT CPosPassThru::PeerUnknown(IPin** ppPeer) const {
    IPin* pPin = m_pPin.load();
    if (!pPin)
        return E_UNEXPECTED;
    if (FAILED(pPin->ConnectedTo(ppPeer)) || !*ppPeer)
        return VFW_E_NOT_CONNECTED;
    return S_OK;
}

HRESULT CPosPassThru::PeerSeeking(IMediaSeeking** ppSeeking) const {
    ComPtr<IPin> pPeer;
    const HRESULT hr = PeerUnknown(&pPeer);
    if (FAILED(hr))
        return hr;
    if (FAILED(pPeer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(ppSeeking))))
        return E_NOTIMPL;
    return S_OK;
}

HRESULT CPosPassThru::PeerPosition(IMediaPosition** ppPosition) const {
    ComPtr<IPin> pPeer;
    const HRESULT hr = PeerUnknown(&pPeer);
    if (FAILED(hr))
        return hr;
    if (FAILED(pPeer->QueryInterface(IID_IMediaPosition, reinterpret_cast<void**>(ppPosition))))
        return E_NOINTERFACE;
    return S_OK;
}

// ---- IMediaSeeking: straight to the upstream pin ---------------------------------------------

// Forwards one IMediaSeeking call; the upstream's result is the answer.
#define VMX_FORWARD_SEEKING(call)                                                                  \
    do {                                                                                           \
        ComPtr<IMediaSeeking> pSeeking;                                                            \
        const HRESULT hrPeer = PeerSeeking(&pSeeking);                                             \
        if (FAILED(hrPeer))                                                                        \
            return hrPeer;                                                                         \
        return pSeeking->call;                                                                     \
    } while (0)

STDMETHODIMP CPosPassThru::GetCapabilities(DWORD* pCapabilities) {
    if (!pCapabilities)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetCapabilities(pCapabilities));
}

STDMETHODIMP CPosPassThru::CheckCapabilities(DWORD* pCapabilities) {
    if (!pCapabilities)
        return E_POINTER;
    VMX_FORWARD_SEEKING(CheckCapabilities(pCapabilities));
}

STDMETHODIMP CPosPassThru::IsFormatSupported(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    VMX_FORWARD_SEEKING(IsFormatSupported(pFormat));
}

STDMETHODIMP CPosPassThru::QueryPreferredFormat(GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    VMX_FORWARD_SEEKING(QueryPreferredFormat(pFormat));
}

STDMETHODIMP CPosPassThru::GetTimeFormat(GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetTimeFormat(pFormat));
}

STDMETHODIMP CPosPassThru::IsUsingTimeFormat(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    VMX_FORWARD_SEEKING(IsUsingTimeFormat(pFormat));
}

STDMETHODIMP CPosPassThru::SetTimeFormat(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    VMX_FORWARD_SEEKING(SetTimeFormat(pFormat));
}

STDMETHODIMP CPosPassThru::GetDuration(LONGLONG* pDuration) {
    if (!pDuration)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetDuration(pDuration));
}

STDMETHODIMP CPosPassThru::GetStopPosition(LONGLONG* pStop) {
    if (!pStop)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetStopPosition(pStop));
}

STDMETHODIMP CPosPassThru::GetCurrentPosition(LONGLONG* pCurrent) {
    if (!pCurrent)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetCurrentPosition(pCurrent));
}

STDMETHODIMP CPosPassThru::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat,
                                             LONGLONG Source, const GUID* pSourceFormat) {
    if (!pTarget)
        return E_POINTER;
    VMX_FORWARD_SEEKING(ConvertTimeFormat(pTarget, pTargetFormat, Source, pSourceFormat));
}

STDMETHODIMP CPosPassThru::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                        DWORD dwStopFlags) {
    VMX_FORWARD_SEEKING(SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags));
}

STDMETHODIMP CPosPassThru::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) {
    VMX_FORWARD_SEEKING(GetPositions(pCurrent, pStop));
}

STDMETHODIMP CPosPassThru::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) {
    VMX_FORWARD_SEEKING(GetAvailable(pEarliest, pLatest));
}

STDMETHODIMP CPosPassThru::SetRate(double dRate) {
    VMX_FORWARD_SEEKING(SetRate(dRate));
}

STDMETHODIMP CPosPassThru::GetRate(double* pdRate) {
    if (!pdRate)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetRate(pdRate));
}

STDMETHODIMP CPosPassThru::GetPreroll(LONGLONG* pllPreroll) {
    if (!pllPreroll)
        return E_POINTER;
    VMX_FORWARD_SEEKING(GetPreroll(pllPreroll));
}

// ---- IDispatch: no automation --------------------------------------------------------------

STDMETHODIMP CPosPassThru::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo)
        *pctinfo = 0;
    return E_NOTIMPL;
}

STDMETHODIMP CPosPassThru::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CPosPassThru::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

STDMETHODIMP CPosPassThru::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                  UINT*) {
    return E_NOTIMPL;
}

// ---- IMediaPosition: the upstream's own, else its IMediaSeeking in seconds -------------------

// Answers through the upstream's IMediaPosition when it has one; otherwise falls through to
// the translation that follows, with pSeeking set.
#define VMX_FORWARD_POSITION(call)                                                                 \
    ComPtr<IMediaSeeking> pSeeking;                                                                \
    do {                                                                                           \
        ComPtr<IMediaPosition> pPosition;                                                          \
        const HRESULT hrPos = PeerPosition(&pPosition);                                            \
        if (SUCCEEDED(hrPos))                                                                      \
            return pPosition->call;                                                                \
        if (hrPos != E_NOINTERFACE)                                                                \
            return hrPos;                                                                          \
        const HRESULT hrSeek = PeerSeeking(&pSeeking);                                             \
        if (FAILED(hrSeek))                                                                        \
            return hrSeek;                                                                         \
    } while (0)

STDMETHODIMP CPosPassThru::get_Duration(REFTIME* plength) {
    if (!plength)
        return E_POINTER;
    VMX_FORWARD_POSITION(get_Duration(plength));
    LONGLONG units = 0;
    const HRESULT hr = pSeeking->GetDuration(&units);
    if (SUCCEEDED(hr))
        *plength = ToSeconds(units);
    return hr;
}

STDMETHODIMP CPosPassThru::put_CurrentPosition(REFTIME llTime) {
    LONGLONG units = 0;
    if (FAILED(ToUnits(llTime, &units)))
        return E_INVALIDARG;
    VMX_FORWARD_POSITION(put_CurrentPosition(llTime));
    return pSeeking->SetPositions(&units, AM_SEEKING_AbsolutePositioning, nullptr,
                                  AM_SEEKING_NoPositioning);
}

STDMETHODIMP CPosPassThru::get_CurrentPosition(REFTIME* pllTime) {
    if (!pllTime)
        return E_POINTER;
    VMX_FORWARD_POSITION(get_CurrentPosition(pllTime));
    LONGLONG units = 0;
    const HRESULT hr = pSeeking->GetCurrentPosition(&units);
    if (SUCCEEDED(hr))
        *pllTime = ToSeconds(units);
    return hr;
}

STDMETHODIMP CPosPassThru::get_StopTime(REFTIME* pllTime) {
    if (!pllTime)
        return E_POINTER;
    VMX_FORWARD_POSITION(get_StopTime(pllTime));
    LONGLONG units = 0;
    const HRESULT hr = pSeeking->GetStopPosition(&units);
    if (SUCCEEDED(hr))
        *pllTime = ToSeconds(units);
    return hr;
}

STDMETHODIMP CPosPassThru::put_StopTime(REFTIME llTime) {
    LONGLONG units = 0;
    if (FAILED(ToUnits(llTime, &units)))
        return E_INVALIDARG;
    VMX_FORWARD_POSITION(put_StopTime(llTime));
    return pSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &units,
                                  AM_SEEKING_AbsolutePositioning);
}

STDMETHODIMP CPosPassThru::get_PrerollTime(REFTIME* pllTime) {
    if (!pllTime)
        return E_POINTER;
    VMX_FORWARD_POSITION(get_PrerollTime(pllTime));
    LONGLONG units = 0;
    const HRESULT hr = pSeeking->GetPreroll(&units);
    if (SUCCEEDED(hr))
        *pllTime = ToSeconds(units);
    return hr;
}

STDMETHODIMP CPosPassThru::put_PrerollTime(REFTIME llTime) {
    VMX_FORWARD_POSITION(put_PrerollTime(llTime));
    return E_NOTIMPL; // IMediaSeeking cannot set a preroll
}

STDMETHODIMP CPosPassThru::put_Rate(double dRate) {
    VMX_FORWARD_POSITION(put_Rate(dRate));
    return pSeeking->SetRate(dRate);
}

STDMETHODIMP CPosPassThru::get_Rate(double* pdRate) {
    if (!pdRate)
        return E_POINTER;
    VMX_FORWARD_POSITION(get_Rate(pdRate));
    return pSeeking->GetRate(pdRate);
}

STDMETHODIMP CPosPassThru::CanSeekForward(LONG* pCanSeekForward) {
    if (!pCanSeekForward)
        return E_POINTER;
    VMX_FORWARD_POSITION(CanSeekForward(pCanSeekForward));
    DWORD caps = 0;
    const HRESULT hr = pSeeking->GetCapabilities(&caps);
    if (SUCCEEDED(hr))
        *pCanSeekForward = (caps & AM_SEEKING_CanSeekForwards) ? kOaTrue : kOaFalse;
    return hr;
}

STDMETHODIMP CPosPassThru::CanSeekBackward(LONG* pCanSeekBackward) {
    if (!pCanSeekBackward)
        return E_POINTER;
    VMX_FORWARD_POSITION(CanSeekBackward(pCanSeekBackward));
    DWORD caps = 0;
    const HRESULT hr = pSeeking->GetCapabilities(&caps);
    if (SUCCEEDED(hr))
        *pCanSeekBackward = (caps & AM_SEEKING_CanSeekBackwards) ? kOaTrue : kOaFalse;
    return hr;
}

#undef VMX_FORWARD_POSITION
#undef VMX_FORWARD_SEEKING
