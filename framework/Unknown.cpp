#include "Unknown.h"

std::atomic<long> CBaseObject::s_cObjects{0};
std::atomic<long> CBaseObject::s_cLocks{0};

CUnknown::CUnknown(const char* pName, IUnknown* pUnk) noexcept
    : m_pName(pName),
      m_pUnknown(pUnk ? pUnk : NonDelegatingUnknown(static_cast<INonDelegatingUnknown*>(this))) {}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown))
        return GetInterface(NonDelegatingUnknown(static_cast<INonDelegatingUnknown*>(this)), ppv);
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    const long cRef = --m_cRef;
    if (cRef == 0) {
        // Guard against a re-entrant release from the destructor (a query and release of
        // one of our own interfaces while tearing down).
        m_cRef = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(cRef > 0 ? cRef : 1);
}

HRESULT GetInterface(IUnknown* pUnk, void** ppv) noexcept {
    if (!ppv)
        return E_POINTER;
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}
