// IVelomixProp: the speed filter's control interface.
//
// Any thread may call any method at any time, in any filter state, connected or not.
// Setters store the value under the filter's speed lock and raise a change latch; the
// streaming thread applies the values at the next media sample it processes. Every
// effective change (a value that differs from the stored one) is published to the
// cross-process control channel on the caller's thread.
#pragma once

#include "com.h"

// {C6BE0B1E-AB1F-4433-885E-319171E74469}
VMX_DEFINE_GUID(IID_IVelomixProp, 0xC6BE0B1E, 0xAB1F, 0x4433, 0x88, 0x5E, 0x31, 0x91, 0x71, 0xE7,
                0x44, 0x69);

struct IVelomixProp : public IUnknown {
    // Tempo factor, pitch kept: 1.0 normal, 2.0 twice as fast. Accepted 0.05 to 50.0;
    // NaN, infinities and values outside that range return E_INVALIDARG and store nothing.
    STDMETHOD(SetTempo)(double dTempo) PURE;
    // Current tempo factor. E_POINTER for a null pointer.
    STDMETHOD(GetTempo)(double* pdTempo) PURE;
    // Rate factor, pitch follows (a tape played faster). Same range and errors as SetTempo.
    STDMETHOD(SetRate)(double dRate) PURE;
    STDMETHOD(GetRate)(double* pdRate) PURE;
    // Pitch shift in semitones, tempo kept. Accepted -60 to +60, else E_INVALIDARG.
    STDMETHOD(SetPitch)(int nPitch) PURE;
    STDMETHOD(GetPitch)(int* pnPitch) PURE;
};
