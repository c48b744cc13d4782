// IVelomixProp: the speed filter's control interface.
//
// Any thread may call any method at any time, in any filter state, connected or not.
// Setters store the value under the filter's speed lock and raise a change latch; the
// streaming thread applies the values at the next media sample it processes. Every
// effective change (a value that differs from the stored one) is published to the
// cross-process control channel on the caller's thread.
//
// What a listener hears at a change: nothing but the new speed. The output already made at the
// old speed is delivered as it was; input the engine still holds comes out at the new speed,
// except when that would be more than 100 ms of input (a fast tempo holds seconds) or the
// change reorders the engine's stages (its resampling moves from before its time stretch to
// after it or back): then the old stretch is finished at its own speed first and a fresh engine
// takes over, its first output crossfaded over 8 ms with the old one's last. A return to 1.0,
// 1.0, 0 finishes the stretch the same way: the engine's remaining output (its latency, about 50
// to 200 ms of audio) is delivered and crossfaded over 8 ms into the input, and from then on
// every output is a bit-for-bit copy of its input with the input's stamps. From a slowed-down
// tempo at the same pitch the join is where the engine's output really reaches the input (it
// runs ahead of its count), found by matching; for that the filter may first collect up to
// 250 ms of input after the change (short input samples), delivering what the engine had made
// meanwhile. The sample that carries the join therefore delivers more audio than its input
// holds, once; no audio is dropped.
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
//   the host changes the video's rate too. Meant for an audio-only player that sets the speed
//   itself.
//
// SEGMENT_RATE in the same section is for a player that changes speed through the graph
// (IMediaSeeking::SetRate): its source starts a new segment at that rate, with stamps that count
// the file's time.
// - 0, missing or not a number (the default): segments pass downstream as they come.
// - nonzero: the rate of each new segment, from 0.05 to 50, is a tempo factor on top of the
//   tempo set here (the product judged against the envelope below; one outside it plays at the
//   nearest tempo inside), applied at the segment's first input like a setter's change, pitch
//   kept. The segment passes downstream at rate 1.0 (start and stop unchanged), and outputs are
//   stamped in the stream's time: inputs' stamps divided by the rate (in exact millionths, to
//   the nearest 100 ns), then by the audio they carry as with RESTAMP, so that at tempo 1.0 a
//   segment's audio ends where its stamps do, in step with the video renderer, which divides
//   its stamps by the rate too. Rates outside 0.05 to 50 (zero, reverse play, NaN) pass
//   downstream as they came, unstretched. GetTempo answers the tempo set, not the product.
#pragma once

#include "com.h"

// CLSID_Velomix and IID_IVelomixProp, written once in the kit; defined here as the module's own
// identifiers are (VMX_DEFINE_GUID: one definition across the program).
#define VELOMIX_DEFINE_GUID VMX_DEFINE_GUID
#include "velomix_ids.h"

//
// The speed envelope (also written out for integrators in sdk/include/velomix.h: keep both in
// step). Each value has its own range (below), and the three together must also keep the
// engine's two stages within a factor of 50 either way. A pitch shift of n semitones is a time
// stretch at the effective tempo T = tempo / 2^(n/12) and a resampling at the effective rate
// R = rate x 2^(n/12). Outside 0.02 to 50 the work per second of input grows without bound
// (tempo 0.05 at +60 semitones stretches 640-fold before resampling throws most of it away;
// tempo 50 at -60 waits for minutes of input before it gives anything). The rule is integer
// and exact, the kit's velomix_in_speed_envelope (velomix_speed.h), which the engine itself
// calls: tempo and rate in hundredths as the filter applies them (velomix_factor_hundredths: a
// factor with up to two decimals exactly, one with more taken to the millionth and cut toward
// 1.0, so 0.639 counts as 64 and 1.155 as 115), and both T and R within 2 to 5000 hundredths,
// bounds included, which only whole octaves reach exactly. Alike on every build. Any single
// value with the other two at normal, and any tempo with any rate at pitch 0, lie inside.
// Examples at the edges: at +60 semitones tempo from 0.64 and rate up to 1.56; at -60 tempo
// up to 1.56 and rate from 0.64; at +12 rate up to 25. A setter whose value would leave the
// envelope together with the two values in force returns E_INVALIDARG and stores nothing; a
// client moving between far corners sets the values in an order that stays inside (the pitch
// back towards 0 first, or last).
struct IVelomixProp : public IUnknown {
    // Tempo factor, pitch kept: 1.0 normal, 2.0 twice as fast. Accepted 0.05 to 50.0 within
    // the speed envelope; NaN, infinities and values outside return E_INVALIDARG and store
    // nothing.
    STDMETHOD(SetTempo)(double dTempo) PURE;
    // Current tempo factor, as set (not cut to whole percent). E_POINTER for a null pointer.
    STDMETHOD(GetTempo)(double* pdTempo) PURE;
    // Rate factor, pitch follows (a tape played faster). Same range and errors as SetTempo.
    STDMETHOD(SetRate)(double dRate) PURE;
    STDMETHOD(GetRate)(double* pdRate) PURE;
    // Pitch shift in semitones, tempo kept. Accepted -60 to +60 within the speed envelope,
    // else E_INVALIDARG, nothing stored.
    STDMETHOD(SetPitch)(int nPitch) PURE;
    STDMETHOD(GetPitch)(int* pnPitch) PURE;
};
