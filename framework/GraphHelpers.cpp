#include "GraphHelpers.h"

ComPtr<IPin> FindPinByDirection(IBaseFilter* pFilter, PIN_DIRECTION dir) noexcept {
    ComPtr<IEnumPins> pEnum;
    if (FAILED(pFilter->EnumPins(&pEnum)))
        return {};
    for (;;) {
        ComPtr<IPin> pPin;
        if (pEnum->Next(1, &pPin, nullptr) != S_OK)
            return {};
        PIN_DIRECTION d;
        if (SUCCEEDED(pPin->QueryDirection(&d)) && d == dir)
            return pPin;
    }
}

ComPtr<IPin> FindPinById(IBaseFilter* pFilter, const wchar_t* id) noexcept {
    ComPtr<IPin> pPin;
    if (FAILED(pFilter->FindPin(id, &pPin)))
        return {};
    return pPin;
}
