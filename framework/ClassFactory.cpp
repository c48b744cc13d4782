#include "ClassFactory.h"

#include <new>

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // An aggregating owner must hold the inner object by its non-delegating IUnknown.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* pObj = nullptr;
    try {
        pObj = m_pTemplate->m_lpfnNew(pUnkOuter, &hr);
    } catch (...) {
        // Nothing may escape the factory; a create function that threw made no object.
        return pObj ? E_FAIL : E_OUTOFMEMORY;
    }
    if (!pObj)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        // Constructed but failed: destroy it through its own reference count.
        pObj->NonDelegatingAddRef();
        pObj->NonDelegatingRelease();
        return hr;
    }
    pObj->NonDelegatingAddRef();
    hr = pObj->NonDelegatingQueryInterface(riid, ppv);
    pObj->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
    CBaseObject::LockServer(fLock != FALSE);
    return S_OK;
}

HRESULT FrameworkGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    for (int i = 0; i < g_cTemplates; ++i) {
        const CFactoryTemplate* pT = &g_Templates[i];
        if (!pT->IsClassID(rclsid))
            continue;
        CClassFactory* pFactory = new (std::nothrow) CClassFactory(pT);
        if (!pFactory)
            return E_OUTOFMEMORY;
        pFactory->AddRef();
        *ppv = static_cast<IClassFactory*>(pFactory);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT FrameworkCanUnloadNow() noexcept {
    return (CBaseObject::ServerLocks() == 0 && CBaseObject::ObjectsActive() == 0) ? S_OK : S_FALSE;
}
