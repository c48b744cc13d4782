// CFilterMapper over the platform's filter mapper.
#include "FilterMapper.h"

#include "ComPtr.h"

struct CFilterMapper::Impl {
    bool bComInitialised = false;
    ComPtr<IFilterMapper2> pMapper2;
    ComPtr<IFilterMapper> pMapper;

    Impl() noexcept = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        pMapper2.Reset();
        pMapper.Reset();
        CoFreeUnusedLibraries();
        if (bComInitialised)
            CoUninitialize();
    }
};

CFilterMapper::CFilterMapper() noexcept = default;
CFilterMapper::~CFilterMapper() = default;

HRESULT CFilterMapper::Create() noexcept {
    try {
        m_pImpl = std::make_unique<Impl>();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    // A thread already in another apartment keeps it; the mapper is created there all the same.
    m_pImpl->bComInitialised = SUCCEEDED(CoInitialize(nullptr));
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper2, reinterpret_cast<void**>(&m_pImpl->pMapper2));
    if (FAILED(hr))
        hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                              reinterpret_cast<void**>(&m_pImpl->pMapper));
    return hr;
}

HRESULT CFilterMapper::RegisterFilter(const AMOVIESETUP_FILTER& setup) noexcept {
    if (!m_pImpl || !setup.clsID)
        return E_UNEXPECTED;
    if (m_pImpl->pMapper2) {
        REGFILTER2 rf2{};
        rf2.dwVersion = 1;
        rf2.dwMerit = setup.dwMerit;
        rf2.cPins = setup.nPins;
        rf2.rgPins = setup.lpPin;
        return m_pImpl->pMapper2->RegisterFilter(*setup.clsID, setup.strName, nullptr, nullptr,
                                                 nullptr, &rf2);
    }
    if (!m_pImpl->pMapper)
        return E_UNEXPECTED;
    // The older mapper takes the filter, then each pin, then each pin's media types.
    IFilterMapper* pMapper = m_pImpl->pMapper.Get();
    HRESULT hr = pMapper->RegisterFilter(*setup.clsID, setup.strName, setup.dwMerit);
    for (UINT i = 0; SUCCEEDED(hr) && i < setup.nPins; ++i) {
        const AMOVIESETUP_PIN& pin = setup.lpPin[i];
        hr = pMapper->RegisterPin(
            *setup.clsID, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
            pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : CLSID_NULL, pin.strConnectsToPin);
        for (UINT j = 0; SUCCEEDED(hr) && j < pin.nMediaTypes; ++j)
            hr = pMapper->RegisterPinType(*setup.clsID, pin.strName,
                                          *pin.lpMediaType[j].clsMajorType,
                                          *pin.lpMediaType[j].clsMinorType);
    }
    return hr;
}

HRESULT CFilterMapper::UnregisterFilter(REFCLSID clsid) noexcept {
    if (!m_pImpl)
        return E_UNEXPECTED;
    if (m_pImpl->pMapper2)
        return m_pImpl->pMapper2->UnregisterFilter(nullptr, nullptr, clsid);
    if (m_pImpl->pMapper)
        return m_pImpl->pMapper->UnregisterFilter(clsid);
    return E_UNEXPECTED;
}
