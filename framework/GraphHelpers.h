// Small helpers for hosts that build graphs: COM for a scope, and finding a filter's pins.
#pragma once

#include "ComPtr.h"
#include "media.h"

// COM initialised on this thread for the life of a scope, as a host initialises it.
class CComScope {
public:
    CComScope() noexcept : m_hr(CoInitialize(nullptr)) {}
    ~CComScope() {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    HRESULT Result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// The filter's first pin of the given direction; null when it has none.
ComPtr<IPin> FindPinByDirection(IBaseFilter* pFilter, PIN_DIRECTION dir) noexcept;
// The filter's pin with the given identifier (IBaseFilter::FindPin); null when there is none.
ComPtr<IPin> FindPinById(IBaseFilter* pFilter, const wchar_t* id) noexcept;
