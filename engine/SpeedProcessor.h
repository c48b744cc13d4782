#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

// The engine's setting identifiers (SETTING_USE_AA_FILTER ... SETTING_OVERLAP_MS) for
// ChangeSetting come from here.
#include <SoundTouch.h>

#include "StretchTuning.h"
#include "velomix_speed.h"

struct SampleConverter;

// The stream format a processor works in: interleaved frames of nChannels samples, integer PCM
// of wBitsPerSample bits or (bFloat) IEEE float of 32 bits.
struct PcmFormat {
    int32_t nChannels = 0;
    int32_t nSamplesPerSec = 0;
    uint16_t wBitsPerSample = 0;
    bool bFloat = false;

    bool operator==(const PcmFormat& o) const {
        return nChannels == o.nChannels && nSamplesPerSec == o.nSamplesPerSec &&
               wBitsPerSample == o.wBitsPerSample && bFloat == o.bFloat;
    }
    bool operator!=(const PcmFormat& o) const { return !(*this == o); }
};

// How the engine runs, fixed at Configure: its quick seek, its anti-alias filter and that
// filter's length in taps (used only with the filter on), and the stretch tuning. The values
// come from the settings file; the file's defaults live with its keys.
struct EngineOptions {
    bool bQuickSeek;
    bool bAntiAliasFilter;
    int32_t nAntiAliasLength;
    StretchTuning tuning;
};

// What a processor call came to.
enum class EngineResult {
    Ok,       // done; ProcessInput and Drain: output reached the ring
    NoOutput, // ProcessInput and Drain: the engine has no output yet, which is no error
    Refused,  // a value, format or state the call does not take: nothing changed
    Failed,   // the engine or an allocation failed (see Errors below)
};

// CSpeedProcessor: changes tempo, rate and pitch of interleaved PCM blocks with one SoundTouch
// engine, and keeps what the engine produces in a byte ring in the stream's own format until the
// caller reads it.
//
// The filter pushes each input block in with ProcessInput and reads at most one output buffer
// with ReadOutput; what does not fit waits in the ring. The ring holds at most kRingSeconds of
// audio: past that the oldest whole frames are dropped.
//
// Threading: only the streaming thread touches a processor (the filter's transform and the speed
// application it calls; the filter's constructor and destructor create and free it). The
// processor has no lock, and neither has the engine; no other thread may call any member, the
// const ones included, while streaming.
//
// Errors: nothing throws out of the processor. Refused arguments are reported as Refused, engine
// or allocation failures as Failed (0 from the calls that count bytes). SoundTouch is not
// exception-safe, so an engine that threw is replaced by a fresh, empty one with the same settings
// and speed values; only when even that fails does the processor fall back to Unconfigured (the
// filter then reconfigures it as for a format change).
//
// States: Unconfigured (no engine; every operation but Configure does nothing and reports
// Refused or 0), Configured inactive (IsActive() false: the filter copies past the processor)
// and Configured active (at least one of tempo, rate and pitch changed).
class CSpeedProcessor {
public:
    static constexpr int32_t kMaxChannels = 16; // the engine's limit
    // The engine's anti-alias filter asserts fewer than 16 channels (it aborts the process): a
    // stream of more runs without that filter, whatever the settings ask.
    static constexpr int32_t kMaxAntiAliasChannels = 15;
    // Lowest sample rate taken, in Hz. The time stretch looks for its splice point among
    // rate x seek window / 1000 samples, rounded down; with none its quick seek answers an
    // offset the input does not hold, and the engine loops for ever inside one call. The
    // shortest seek window the tuning can give is 1 ms, so from 1000 Hz there is always at
    // least one candidate, and every candidate lies inside the input the engine waits for.
    static constexpr int32_t kMinSampleRate = 1000;
    static constexpr int32_t kMaxSampleRate = 192000; // the engine's limit, in Hz
    // Change values the filter gives the engine, from the kit's ranges (velomix_speed.h): tempo
    // and rate as whole-percent changes (-95 is a factor of 0.05, 4900 a factor of 50), pitch in
    // semitones (60 = five octaves).
    static constexpr int32_t kMinChangePercent = VELOMIX_HUNDREDTHS_MIN - 100;
    static constexpr int32_t kMaxChangePercent = VELOMIX_HUNDREDTHS_MAX - 100;
    static constexpr int32_t kMaxPitchSemiTones = VELOMIX_PITCH_MAX;
    // The speed envelope (velomix_in_speed_envelope). The engine does a pitch shift
    // p = 2^(pitch / 12) by a time stretch at the effective tempo T = tempo / p followed (or
    // preceded) by a resampling at the effective rate R = rate x p. Its work per input second
    // grows with how far either stage goes: T = 1/640 makes the stretch produce 640 times the
    // input before the resampler throws most of it away, and T = 1600 makes it hold minutes of
    // input before it delivers anything. So both T and R must lie within 0.02 .. 50, the factor
    // a single tempo or rate may ask for; every value alone (the others at normal) and any tempo
    // with any rate at pitch 0 lie inside.
    // An anti-alias filter length the engine refuses (not a positive multiple of 8) or that would
    // cost too much per sample (above kMaxAntiAliasLength taps) is replaced by
    // kFallbackAntiAliasLength.
    static constexpr int32_t kFallbackAntiAliasLength = 32;
    static constexpr int32_t kMaxAntiAliasLength = 1024;
    static constexpr int32_t kRingSeconds = 30; // most audio the ring holds
    // Float input beyond this magnitude (120 dB over full scale) is clamped, and NaN becomes 0:
    // the splice search compares sums of squares in float, and one NaN or overflow there makes
    // the quick seek answer an offset the input may not hold (the loop kMinSampleRate tells of).
    static constexpr float kMaxFloatInput = 1.0e6f;

    CSpeedProcessor() noexcept; // Unconfigured
    ~CSpeedProcessor();         // Free
    CSpeedProcessor(const CSpeedProcessor&) = delete;
    CSpeedProcessor& operator=(const CSpeedProcessor&) = delete;

    // True when Configure can take the format: 1..kMaxChannels channels,
    // kMinSampleRate..kMaxSampleRate Hz, integer PCM of 8 (unsigned), 16, 24 or 32 bits
    // (signed), or IEEE float of 32 bits.
    static bool SupportsFormat(int32_t channels, int32_t samplesPerSec, uint16_t bitsPerSample,
                               bool floatSamples);

    // True when the change values (tempo and rate in whole percent as for ChangeTempo and
    // ChangeRate, pitch in semitones) are each in range and together inside the speed envelope:
    // T = (100 + tempo) / 2^(pitch/12) and R = (100 + rate) x 2^(pitch/12) both within 2 .. 5000
    // hundredths, judged exactly in integers by the kit's velomix_in_speed_envelope.
    static bool IsInSpeedEnvelope(int32_t tempoPercent, int32_t ratePercent,
                                  int32_t pitchSemiTones);

    // Input frames to give the engine in one putSamples call, for the ratio of its output to its
    // input (OutputPerInputRatio): a chunk (1024 frames), or when slowed down the input that makes
    // about a chunk of output (at least one frame). The engine keeps all the output of a call,
    // growing its buffer in 4 KiB steps and copying what it holds at each: a chunk at 400 times
    // would be 400 chunks of output made by quadratic copying.
    static int32_t InputPieceFrames(double outPerIn);

    static bool SupportsFormat(const PcmFormat& format) {
        return SupportsFormat(format.nChannels, format.nSamplesPerSec, format.wBitsPerSample,
                              format.bFloat);
    }

    // Releases everything (Free) and builds a new engine for the format, in any state. The result
    // is inactive with an empty ring. The anti-alias length is replaced as kFallbackAntiAliasLength
    // says; above kMaxAntiAliasChannels the filter stays off. A tuning length of 0 lets the
    // engine choose; a negative one or one above kMaxStretchTuningMs keeps the engine's default.
    // Refused for a format SupportsFormat refuses, Failed when the engine fails; either leaves
    // the processor Unconfigured.
    EngineResult Configure(const PcmFormat& format, const EngineOptions& options);

    // Change operations. Each one, when it applies, stores the value and hands it to the running
    // engine, which keeps the audio in its pipeline (no flush, so no silence is inserted) and
    // makes what it still holds at the new values; the ring keeps the output already made. When
    // the change makes the processor active, the engine is cleared first: while inactive the
    // filter bypassed it, so what it held is stale. They take effect at the next ProcessInput.
    // Each returns Ok when applied; Refused, with nothing changed, while Unconfigured or for a
    // value out of range (tempo/rate percent outside kMinChangePercent..kMaxChangePercent, so also
    // any change to a factor of 0 or below; pitch beyond +-kMaxPitchSemiTones) or one whose
    // combination with the two stored values leaves the speed envelope (IsInSpeedEnvelope);
    // Failed when the engine failed (the value stays stored and the replacement engine, if one
    // could be made, runs with it).
    EngineResult ChangeTempo(int32_t percent);
    EngineResult ChangeRate(int32_t percent);
    EngineResult ChangePitchSemiTones(int32_t semitones);
    // The three at once, judged as one combination: the way to go between two points of the
    // envelope that no order of single changes connects (tempo 50 at +60 semitones to tempo
    // 0.05 at -60). Same results as the single changes.
    EngineResult ChangeSpeed(int32_t tempoPercent, int32_t ratePercent, int32_t pitchSemiTones);
    // settingId: SETTING_USE_AA_FILTER, SETTING_AA_FILTER_LENGTH (taps; replaced as in Configure),
    // SETTING_USE_QUICKSEEK (0/1), SETTING_SEQUENCE_MS, SETTING_SEEKWINDOW_MS, SETTING_OVERLAP_MS
    // (ms; 0 = engine's choice). Refused, with nothing changed: any other identifier, and a
    // tuning length below 0 or above kMaxStretchTuningMs. Whether the processor is active does
    // not change.
    EngineResult ChangeSetting(int32_t settingId, int32_t value);
    // The stretch tuning's three lengths, in that order; stops at the first that is not Ok.
    EngineResult ChangeTuning(const StretchTuning& tuning);

    // Feeds byteCount bytes of interleaved PCM in the configured format to the engine (whole frames
    // only; a trailing partial frame is ignored; float samples reach the engine with NaN as 0 and
    // the rest clamped to +-kMaxFloatInput) and moves all output the engine has ready into the
    // ring. A zero-length block still moves ready output. Returns Ok when output was moved,
    // NoOutput when the engine had none; Refused while Unconfigured, for byteCount < 0 or a null
    // data with byteCount > 0; Failed on an allocation or engine failure (what reached the ring
    // stays; output the ring had no room for stays in the engine).
    EngineResult ProcessInput(const uint8_t* data, int32_t byteCount);

    // Copies at most maxBytes of the ring's oldest bytes to dest and returns how many (0 when the
    // ring is empty, maxBytes <= 0 or dest is null). Never fails.
    int32_t ReadOutput(uint8_t* dest, int32_t maxBytes);

    // Ends the stretch with the input that follows it, without a hole or a click: the engine
    // makes the output it still owes (owedFrames, at the values in force: the input it holds)
    // from that input (mirrored after itself when it is too short), and that output is
    // crossfaded over kSpliceMs into what follows. pNext null: into the input itself, where the
    // engine's output reaches it (slowed down at the same pitch, found by matching kSpliceMatchMs
    // of input within the output's last kSpliceBackMs; otherwise where its count says); the
    // processor is then inactive and the ring holds the rest of the input, bit for bit.
    // pNext = {tempo, rate, pitch}: into a cleared engine at those values, started on the last
    // kSplicePrimeMs of input before the change (its output for them dropped), so that the input
    // the old engine held comes out at the speed it was fed at; the crossfade goes over the new
    // engine's first output, and the caller feeds it the data from frame dataUsed on (0; a copy
    // uses all of it). Results as ProcessInput and ChangeSpeed (Refused for values outside the
    // envelope, with nothing done).
    EngineResult FinishStretch(const uint8_t* data, int32_t byteCount, int64_t owedFrames,
                               const int32_t* pNext, int32_t& dataUsed);
    // True when FinishStretch into a copy finds the join by matching the input in the engine's
    // output (slowed down at the same pitch); it then wants InputToFinish frames of real input.
    bool SplicesBySearch() const {
        return m_nTempoChange < 0 && m_nRateChange == 0 && m_nPitchSemiTones == 0;
    }
    // Input frames FinishStretch wants to make owedFrames and what it crossfades from of real
    // audio (with fewer it mirrors the input it has); 0 while Unconfigured.
    int64_t InputToFinish(int64_t owedFrames);
    // The values last handed to the engine.
    int32_t RateChange() const { return m_nRateChange; }
    int32_t PitchSemiTones() const { return m_nPitchSemiTones; }
    // The engine's resampling factor for a rate change and pitch: rate x 2^(pitch / 12). Above 1
    // the engine resamples after its time stretch, otherwise before it; a change across 1 moves
    // its audio from one stage to the other, which is heard as a click.
    static double EffectiveRate(int32_t ratePercent, int32_t pitchSemiTones);
    static constexpr int32_t kSpliceMs = 8;
    static constexpr int32_t kSplicePrimeMs = 20;
    static constexpr int32_t kSpliceBackMs = 100;
    static constexpr int32_t kSpliceMatchMs = 20;

    // End of stream: pushes the audio still inside the engine's pipeline out (engine flush), moves
    // it into the ring and leaves the engine empty for whatever comes next. Returns Ok when the
    // ring then holds bytes, NoOutput when it does not; Refused while Unconfigured; Failed when
    // the engine failed.
    EngineResult Drain();

    // The engine's output frames per input frame as it applies the speed values, 1 / (tempo ×
    // rate) with pitch's own share; 1.0 while Unconfigured.
    double OutputPerInputRatio();

    // End of stream, one buffer at a time: copies the next maxBytes of the tail to dest: what the
    // ring holds, then the audio still inside the engine, pushed out by feeding it silence as long
    // as that takes (no limit but the engine producing nothing at all), then silence. Ok with
    // bytesRead = maxBytes; Refused (bytesRead 0) while Unconfigured, for maxBytes <= 0 or a null
    // dest; Failed when the engine or the ring failed (bytesRead: what was copied before). The
    // caller stops at the length it owes and then calls Clear, which drops what would go past it.
    EngineResult ReadTail(uint8_t* dest, int32_t maxBytes, int32_t& bytesRead);

    // Drops the ring's bytes and everything the engine holds (end of a flush or seek), so no
    // earlier audio comes out afterwards. Configuration and speed values stay.
    void Clear();

    // Releases the engine and all buffers: back to Unconfigured. Safe in any state.
    void Free();

    int32_t BufferedBytes() const; // bytes held in the ring
    int32_t BlockAlign() const;    // bytes per frame; 0 while Unconfigured
    int32_t RingCapacity() const;  // bytes of ring storage allocated; never above the ring bound

    bool IsConfigured() const { return m_pSoundTouch != nullptr; }
    // True when any of pitch, tempo change and rate change is nonzero; the filter bypasses the
    // processor while it is false.
    bool IsActive() const { return m_bActive; }
    // The configured format; all zero while Unconfigured.
    const PcmFormat& Format() const { return m_Format; }

private:
    template <class Call> EngineResult ApplyChange(Call call);
    template <class Call> bool EngineCall(Call call);
    void RebuildEngine() noexcept;
    bool FeedEngine(const float* frames, int32_t count);
    bool MoveEngineOutputToRing(bool& moved);
    EngineResult MoveChunkToRing();
    EngineResult PullTailChunk(int64_t& silenceBudget);
    // Frames to feed the engine at once at the end of a stretch, for the ratio of its output
    // to its input; a buffer of that many frames as floats (FeedBuffer).
    int32_t FeedPieceFrames(double outPerIn);
    float* FeedBuffer(int32_t frames) noexcept;
    bool AppendSilence(int32_t frames);
    void KeepHistory(const uint8_t* data, int32_t frames);
    void RouteOutput(const float* frames, int32_t count);
    EngineResult SpliceInto(const uint8_t* data, int32_t frames, int32_t& spliceEnd);
    bool AppendFloatFrames(const float* frames, int32_t count);
    void RingPeekTail(float* dst, int32_t frames);
    void RingDiscardTail(int32_t bytes);
    bool RingReserve(int32_t bytes);
    void RingAppend(const uint8_t* src, int32_t bytes);
    void RingDiscard(int32_t bytes);
    void RingDrop();

    PcmFormat m_Format;
    std::unique_ptr<soundtouch::SoundTouch> m_pSoundTouch; // null while Unconfigured
    bool m_bActive;
    int32_t m_nPitchSemiTones;              // semitones
    int32_t m_nTempoChange;                 // whole percent, 0 = normal
    int32_t m_nRateChange;                  // whole percent
    const SampleConverter* m_pConverter;    // chosen by Configure for the sample width
    std::unique_ptr<float[]> m_pInFloat;    // one input chunk as floats
    std::unique_ptr<float[]> m_pOutFloat;   // one chunk of engine output
    std::unique_ptr<uint8_t[]> m_pOutBytes; // that chunk in the stream's format
    struct FreeDeleter {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    // The tail's larger pieces of silence. From calloc: a block this large comes zeroed from the
    // system's fresh pages, not written over once more (a new engine's first tail wrote 256 KiB
    // per channel).
    std::unique_ptr<float[], FreeDeleter> m_pTailSilence;
    std::unique_ptr<float[]> m_pFeedFloat; // larger pieces of input, fed while it is fast
    int32_t m_nRingLimit;                  // kRingSeconds of audio in bytes, whole frames
    int32_t m_nRingCapacity;               // bytes
    int32_t m_nRingRead;  // offset of the oldest byte; -1 when empty and unpositioned
    int32_t m_nRingCount; // bytes held
    std::unique_ptr<uint8_t[]> m_pRing;
    // The end of a stretch (FinishStretch): the last kSplicePrimeMs of input fed, the engine's
    // output past what it owes (to crossfade from), and room for the search and the crossfade.
    int32_t m_nSpliceFrames = 0; // crossfade length
    int32_t m_nSearchFrames = 0; // input kept before a change, to start a fresh engine on
    int32_t m_nBackFrames = 0;   // output searched back from the end of what the engine owed
    int32_t m_nMatchFrames = 0;  // output matched against the input: at least a crossfade
    std::unique_ptr<uint8_t[]> m_pHistory;
    int32_t m_nHistoryFrames = 0;
    std::unique_ptr<float[]> m_pLookahead;
    int32_t m_nLookahead = 0;
    std::unique_ptr<float[]> m_pSpliceFloat;
    bool m_bSplicing = false;  // engine output goes first to the ring, then to the lookahead
    int64_t m_nSpliceOwed = 0; // output frames still to go to the ring while splicing
    int32_t m_nFadeFrames = 0; // a fresh engine's first frames faded in over the lookahead
    int32_t m_nFadeDone = 0;
    int64_t m_nDiscard = 0; // a fresh engine's output for the input it was started on
    // Nothing fed to the engine since it was made or last cleared: its output is silence.
    bool m_bEngineSilent = true;
};
