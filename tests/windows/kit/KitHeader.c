/* The integrator kit's header compiled as C against the mingw SDK alone: GUIDs defined here,
 * the interface called through its C vtable macros, the envelope checked with the kit's
 * integer rule. Built, never run. */
#include <initguid.h>

#include <velomix.h>

HRESULT VelomixKitCallFromC(IUnknown* filter, double tempo) {
    IVelomixProp* control = NULL;
    double now = 0;
    int pitch = 0;
    HRESULT hr = S_OK;
    if (!velomix_factors_in_speed_envelope(tempo, VELOMIX_FACTOR_MIN, VELOMIX_PITCH_MAX) ||
        velomix_factor_hundredths(tempo) < VELOMIX_HUNDREDTHS_MIN)
        return E_INVALIDARG;
    hr = filter->lpVtbl->QueryInterface(filter, &IID_IVelomixProp, (void**)&control);
    if (FAILED(hr))
        return hr;
    hr = IVelomixProp_SetTempo(control, tempo);
    if (SUCCEEDED(hr))
        hr = IVelomixProp_GetTempo(control, &now);
    if (SUCCEEDED(hr))
        hr = IVelomixProp_SetRate(control, VELOMIX_FACTOR_MIN);
    if (SUCCEEDED(hr))
        hr = IVelomixProp_GetRate(control, &now);
    if (SUCCEEDED(hr))
        hr = IVelomixProp_SetPitch(control, VELOMIX_PITCH_MAX);
    if (SUCCEEDED(hr))
        hr = IVelomixProp_GetPitch(control, &pitch);
    IVelomixProp_Release(control);
    return IsEqualCLSID(&CLSID_Velomix, &IID_IVelomixProp) ||
                   IsEqualCLSID(&CLSID_Velomix, &CLSID_VelomixProp1)
               ? E_FAIL
               : hr;
}
