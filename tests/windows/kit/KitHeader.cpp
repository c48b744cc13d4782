// The integrator kit's header compiled as C++ against the mingw SDK alone, in a program with
// the C translation unit beside it: the GUIDs are defined there, only declared here.
#include <velomix.h>

extern "C" HRESULT VelomixKitCallFromC(IUnknown* filter, double tempo);

namespace {

HRESULT CallFromCpp(IUnknown* filter) {
    IVelomixProp* control = nullptr;
    HRESULT hr = filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&control));
    if (FAILED(hr))
        return hr;
    double tempo = 0;
    int pitch = 0;
    hr = control->SetTempo(VELOMIX_FACTOR_MAX);
    if (SUCCEEDED(hr))
        hr = control->GetTempo(&tempo);
    if (SUCCEEDED(hr))
        hr = control->SetPitch(VELOMIX_PITCH_MIN);
    if (SUCCEEDED(hr))
        hr = control->GetPitch(&pitch);
    control->Release();
    return IsEqualCLSID(CLSID_Velomix, IID_IVelomixProp) ||
                   IsEqualCLSID(CLSID_Velomix, CLSID_VelomixProp1)
               ? E_FAIL
               : hr;
}

} // namespace

int main() {
    // No filter to call: the program exists to be compiled and linked.
    IUnknown* none = nullptr;
    return none ? static_cast<int>(CallFromCpp(none) | VelomixKitCallFromC(none, 1.0)) : 0;
}
