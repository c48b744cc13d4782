/* velomix.h: what a player needs to drive the Velomix filter from C or C++.
 *
 * Needs only the Windows SDK headers (objbase.h) and velomix_ids.h and velomix_speed.h beside it;
 * link ole32 (and strmiids/uuid for the DirectShow interfaces a player uses anyway). The GUIDs
 * follow the DEFINE_GUID convention: include <initguid.h> before this header in exactly one source
 * file of the program.
 *
 * Contract of IVelomixProp (kept in step with the filter's own control/IVelomixProp.h):
 * - Any thread may call any method at any time, in any filter state, connected or not.
 * - A setter checks its value, stores it and returns S_OK; the filter applies it at the next
 *   media sample it processes (while stopped: when streaming starts). Setting the value that
 *   is stored already is a no-op that returns S_OK.
 * - Tempo and rate are factors: 1.0 unchanged, 2.0 twice as fast. Accepted 0.05 to 50.0
 *   (VELOMIX_FACTOR_MIN/MAX). Tempo keeps the pitch; rate changes speed and pitch together,
 *   as a tape played faster.
 * - Pitch is a shift in whole semitones, tempo kept: accepted -60 to +60
 *   (VELOMIX_PITCH_MIN/MAX).
 * - The speed envelope: the three together must also keep the engine's two stages within a
 *   factor of 50 either way. A shift of n semitones is a time stretch at T = tempo / 2^(n/12)
 *   and a resampling at R = rate x 2^(n/12). The filter judges it exactly, in integers, with
 *   velomix_in_speed_envelope (velomix_speed.h, included below): tempo and rate in hundredths
 *   as velomix_factor_hundredths counts them (a factor with up to two decimals exactly, one
 *   with more taken to the millionth and cut toward 1.0: 0.639 counts as 64, 1.155 as 115),
 *   and both T and R within 2 to 5000 hundredths, bounds included (reached exactly only at
 *   whole octaves). velomix_factors_in_speed_envelope(tempo, rate, pitch) answers as the
 *   filter will for the values it would hold after a setter. Any single value with the other
 *   two at normal, and any tempo with any rate at pitch 0, lie inside; at +60 semitones tempo
 *   goes from 0.64 and rate up to 1.56, at -60 tempo up to 1.56 and rate from 0.64. To move
 *   between far corners, set the values in an order that stays inside (pitch back towards 0
 *   first, or last).
 * - A value outside its range or the envelope, NaN or an infinity returns E_INVALIDARG and
 *   changes nothing.
 * - A getter returns E_POINTER for a null pointer, else S_OK and the stored value, as set.
 * - Every effective change is also published to the cross-process control channel (see
 *   control-channel.md beside this header), so velomixctl and other controllers see it.
 * - The property page (CLSID_VelomixProp1) is the one the filter lists through
 *   ISpecifyPropertyPages; a player shows it with OleCreatePropertyFrame.
 *
 * The settings file VELO.INI, optional, read when a filter is made and never written by it:
 * on Windows Vista and later it is Korvane\Player\VELO.INI in the user's local application
 * data (low integrity) folder, FOLDERID_LocalAppDataLow (usually
 * C:\Users\NAME\AppData\LocalLow), the folder being made when a filter is; on earlier
 * versions it lies beside the module file. The uninstaller keeps it (and so its folder).
 * RESTAMP in its [INIT] section chooses the output's time stamps:
 * - RESTAMP=0, the default (also when the key is missing or not a number): each output sample
 *   keeps the time span of the input it came from (outputs of one input share its span; some
 *   may be empty). Right for a host that takes the audio itself (a writer, a sample grabber).
 *   A renderer that plays by time stamps then keeps the file's pace: faster audio leaves gaps,
 *   slower audio overruns its stamps.
 * - RESTAMP=1 (any nonzero value): outputs are stamped by the audio they carry, contiguous from
 *   the start time of the first input after a run, flush, seek or new segment, each lasting
 *   exactly its frames; empty ones are not delivered; while the speed has stayed normal since
 *   that start, inputs' stamps pass unchanged. A renderer then plays at the speed set; a video
 *   stream of the same file runs out of step unless the player changes its rate too. For an
 *   audio-only player that sets the speed itself through IVelomixProp.
 * SEGMENT_RATE in the same section is for a player that changes speed through the graph
 * (IMediaSeeking::SetRate), whose source then starts a segment of that rate:
 * - SEGMENT_RATE=0, the default: segments pass downstream as they come, rate included.
 * - SEGMENT_RATE=1 (any nonzero value): a segment's rate from 0.05 to 50 is played as a tempo
 *   factor times the tempo set (the envelope applies; a product outside it plays at its nearest
 *   edge), pitch kept; the segment passes downstream at rate 1.0, and outputs are stamped in
 *   the stream's time: the first after a new segment, flush or run at its input's start /
 *   rate, every later one where the one before stopped, lasting exactly its frames. At tempo
 *   1.0 a segment's audio ends where its video does (duration / rate): the audio renderer
 *   plays it as it comes, in step with the video renderer. Other rates (zero, negative) pass
 *   downstream as they came, unstretched; a segment at rate 1.0 is the plain copy again.
 *   GetTempo answers the tempo set, not the product.
 */
#ifndef VELOMIX_H
#define VELOMIX_H

#include <objbase.h>

/* The ranges (VELOMIX_FACTOR_MIN/MAX, VELOMIX_PITCH_MIN/MAX) and the envelope check. */
#include "velomix_speed.h"

/* CLSID_Velomix, the filter (CoCreateInstance, or found in a graph), IID_IVelomixProp, its
   control interface (QueryInterface on the filter), and CLSID_VelomixProp1, its property page. */
#include "velomix_ids.h"

#undef INTERFACE
#define INTERFACE IVelomixProp
DECLARE_INTERFACE_(IVelomixProp, IUnknown) {
    /* IUnknown */
    STDMETHOD(QueryInterface)(THIS_ REFIID riid, void** ppv) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
    /* Tempo factor, pitch kept. 0.05 to 50.0 within the envelope, else E_INVALIDARG. */
    STDMETHOD(SetTempo)(THIS_ double dTempo) PURE;
    STDMETHOD(GetTempo)(THIS_ double* pdTempo) PURE;
    /* Rate factor, pitch follows. 0.05 to 50.0 within the envelope, else E_INVALIDARG. */
    STDMETHOD(SetRate)(THIS_ double dRate) PURE;
    STDMETHOD(GetRate)(THIS_ double* pdRate) PURE;
    /* Pitch shift in semitones, tempo kept. -60 to +60 within the envelope, else
       E_INVALIDARG. */
    STDMETHOD(SetPitch)(THIS_ int nPitch) PURE;
    STDMETHOD(GetPitch)(THIS_ int* pnPitch) PURE;
};
#undef INTERFACE

#if !defined(__cplusplus) || defined(CINTERFACE)
#define IVelomixProp_QueryInterface(p, a, b) (p)->lpVtbl->QueryInterface(p, a, b)
#define IVelomixProp_AddRef(p) (p)->lpVtbl->AddRef(p)
#define IVelomixProp_Release(p) (p)->lpVtbl->Release(p)
#define IVelomixProp_SetTempo(p, a) (p)->lpVtbl->SetTempo(p, a)
#define IVelomixProp_GetTempo(p, a) (p)->lpVtbl->GetTempo(p, a)
#define IVelomixProp_SetRate(p, a) (p)->lpVtbl->SetRate(p, a)
#define IVelomixProp_GetRate(p, a) (p)->lpVtbl->GetRate(p, a)
#define IVelomixProp_SetPitch(p, a) (p)->lpVtbl->SetPitch(p, a)
#define IVelomixProp_GetPitch(p, a) (p)->lpVtbl->GetPitch(p, a)
#endif

#endif /* VELOMIX_H */
