// IVelomixProp: the speed filter's control interface.
//
// Any thread may call any method at any time, in any filter state, connected or not.
// Setters store the value under the filter's speed lock and raise a change latch; the
// streaming thread applies the values at the next media sample it processes. Every
// effective change (a value that differs from the stored one) is published to the
// cross-process control channel on the caller's thread.
//
// What a host sees downstream depends on RESTAMP in the INIT section of the settings file,
// read when the filter is made:
// - 0, missing or not a number (the default): each output sample lies within the time span
//   of the input sample it came from (the outputs of one input share its span in proportion to
//   their bytes; some may be empty), and media times likewise. A renderer that places audio by
//   its time stamps therefore keeps the file's pace: speeding up leaves gaps, slowing down
//   overruns the stamps. Meant for a host that reads the audio itself (a writer, a grabber).
// - nonzero: output samples are stamped by the audio they carry. The first after a start, a
//   flush or a new segment begins at the start time of the first input after it; every later
//   one begins where the previous one stopped and lasts exactly its frames at the stream's
//   rate; empty ones are not delivered. Media times follow the same rule from the input's
//   media start, in the unit the input's use (frames, bytes or 100 ns, told by how far they
//   run over its audio; none when that matches none of them). While the speed has stayed
//   normal since that start, outputs keep their inputs' stamps exactly. A renderer then plays
//   at the speed set; the stream's time runs faster or slower than the file's, so a video
//   stream of the same file runs out of step (its picture behind or ahead of the audio) unless
//   the host changes the video's rate too.
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
