// The platform objects of Platform.h on Windows: the system's own memory allocator and seeking
// pass-through, made through COM.
#include "Platform.h"

#include "ComPtr.h"

HRESULT CreateMemoryAllocator(IMemAllocator** ppAlloc) noexcept {
    if (!ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(ppAlloc));
}

HRESULT CreatePosPassThru(IUnknown* pOuter, BOOL bRenderer, IPin* pPin,
                          IUnknown** ppInner) noexcept {
    if (!ppInner)
        return E_POINTER;
    *ppInner = nullptr;
    if (!pPin)
        return E_POINTER;
    // Aggregated: the owner holds the inner object by its non-delegating IUnknown.
    ComPtr<IUnknown> pInner;
    HRESULT hr = CoCreateInstance(CLSID_SeekingPassThru, pOuter, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&pInner));
    if (FAILED(hr))
        return hr;
    // An interface obtained from the inner object counts on the owner (or on the object
    // itself when not aggregated); the ComPtr gives that reference back.
    ComPtr<ISeekingPassThru> pPassThru;
    hr = pInner->QueryInterface(IID_ISeekingPassThru, reinterpret_cast<void**>(&pPassThru));
    if (FAILED(hr))
        return hr;
    hr = pPassThru->Init(bRenderer, pPin);
    if (FAILED(hr))
        return hr;
    *ppInner = pInner.Detach();
    return S_OK;
}
