// CUnknown: reference counting and aggregation for every COM object of the module.
//
// An object made by the module has one identity. Its interface faces forward their IUnknown
// methods to GetOwner(): the controlling outer object when aggregated, else the object's own
// non-delegating IUnknown. Derived classes override NonDelegatingQueryInterface, answer their
// own interfaces through GetInterface() and pass every other identifier to their base.
#pragma once

#include "com.h"

#include <atomic>

struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

// Counts the module's live objects and server locks for DllCanUnloadNow.
class CBaseObject {
public:
    CBaseObject() noexcept { ++s_cObjects; }
    virtual ~CBaseObject() { --s_cObjects; }
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    static long ObjectsActive() noexcept { return s_cObjects.load(); }
    static long ServerLocks() noexcept { return s_cLocks.load(); }
    static void LockServer(bool bLock) noexcept { bLock ? ++s_cLocks : --s_cLocks; }

private:
    static std::atomic<long> s_cObjects;
    static std::atomic<long> s_cLocks;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // pUnk is the controlling outer object, or null when the object is not aggregated.
    CUnknown(const char* pName, IUnknown* pUnk) noexcept;

    IUnknown* GetOwner() const noexcept { return m_pUnknown; }

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // The object's non-delegating IUnknown as a real IUnknown (what an aggregating owner holds).
    IUnknown* InnerUnknown() noexcept { return &m_Inner; }

protected:
    const char* m_pName;
    std::atomic<long> m_cRef{0};

private:
    // Forwards to the NonDelegating methods; calling them through an IUnknown pointer cast
    // from INonDelegatingUnknown would be undefined (and trips UBSan's vptr check).
    struct CInner final : IUnknown {
        explicit CInner(CUnknown* pThis) noexcept : m_pThis(pThis) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            return m_pThis->NonDelegatingQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return m_pThis->NonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_pThis->NonDelegatingRelease(); }
        CUnknown* const m_pThis;
    };
    CInner m_Inner{this};
    IUnknown* const m_pUnknown;
};

// Hands out pUnk as the answer of a query, with a reference added.
HRESULT GetInterface(IUnknown* pUnk, void** ppv) noexcept;

// A COM object with one interface of its own and no aggregation (enumerators, class
// factories): IUnknown answered here, the object deleted with its last reference.
template <class I, const IID& Iid> class CSimpleObject : public I, public CBaseObject {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, Iid))
            return GetInterface(static_cast<I*>(this), ppv);
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override {
        const long cRef = --m_cRef;
        if (cRef == 0)
            delete this;
        return static_cast<ULONG>(cRef);
    }

protected:
    ~CSimpleObject() override = default;

private:
    std::atomic<long> m_cRef{0};
};

// Puts the IUnknown methods on an interface face of a CUnknown-derived class.
#define DECLARE_IUNKNOWN                                                                           \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {                                \
        return GetOwner()->QueryInterface(riid, ppv);                                              \
    }                                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override {                                                       \
        return GetOwner()->AddRef();                                                               \
    }                                                                                              \
    STDMETHODIMP_(ULONG) Release() override {                                                      \
        return GetOwner()->Release();                                                              \
    }

// The non-delegating IUnknown of an object, as handed to an aggregating owner.
inline IUnknown* NonDelegatingUnknown(INonDelegatingUnknown* p) noexcept {
    return static_cast<CUnknown*>(p)->InnerUnknown();
}
