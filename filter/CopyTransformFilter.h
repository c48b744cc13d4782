// CCopyTransformFilter: the speed filter.
//
// Accepts uncompressed audio on its input pin "In" and delivers the same type on "Out". At
// normal speed every input media sample yields one output sample, a copy with the input's
// time stamps, media times and flags. Otherwise the input goes through the speed processor
// and yields as many output buffers as it takes to keep the processor's ring at about one
// buffer: the first from Transform, the others right after it from the receive path. Time
// stamps are never rescaled: the outputs of one input share its time span (and media times),
// split in proportion to their bytes. At end of stream the tail is delivered up to the length
// the engine owes for the input since the last flush or format change.
//
// With RESTAMP on in the settings file the outputs are stamped by the audio they carry instead
// (see RestampSample), as a renderer that plays by time stamps needs, and empty ones are not
// delivered.
//
// With SEGMENT_RATE on, the rate of each new segment (a player's SetRate on the graph) is a tempo
// factor on top of the tempo set: the audio is stretched to the segment's pace with its pitch
// kept, the segment goes downstream at rate 1.0, and its stamps are carried into the stream's
// time (t / rate) and then follow the audio delivered, as with RESTAMP. A segment at rate 1.0
// leaves the stream as the tempo set makes it.
//
// Threads and locks: connection and state changes hold the filter-state lock m_csFilter;
// the upstream streaming thread runs Transform, end of stream and the processor under the
// streaming lock m_csReceive and takes m_csSpeed inside it only to copy the speed values (the
// settings file is read and the engine driven after it lets go); IVelomixProp callers (host,
// property page, control server) take m_csSpeed only. Order: m_csFilter, m_csReceive,
// m_csSpeed, then the cross-process mutex of the control server.
//
// Errors: a failing engine stops the stream as the platform's filters do (EC_ERRORABORT, the
// input refusing samples until the next stop or flush, VFW_E_RUNTIME_ERROR upstream); refusals
// and failures are logged (DiagnosticLog.h).
#pragma once

#include "AudioFormat.h"
#include "IVelomixProp.h"
#include "MediaType.h"
#include "control/Settings.h"
#include "SpeedProcessor.h"
#include "Transform.h"
#include "CommServer.h"
#include "core/OutputPlan.h"
#include "core/OwedOutput.h"
#include "core/SegmentRate.h"
#include "core/StampClock.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

class CCopyTransformInputPin : public CTransformInputPin {
public:
    CCopyTransformInputPin(CTransformFilter* pFilter, HRESULT* phr) noexcept
        : CTransformInputPin(nullptr, pFilter, phr, L"In") {}
};

class CCopyTransformOutputPin : public CTransformOutputPin {
public:
    CCopyTransformOutputPin(CTransformFilter* pFilter, HRESULT* phr) noexcept
        : CTransformOutputPin(nullptr, pFilter, phr, L"Out") {}
};

class CCopyTransformFilter : public CTransformFilter,
                             public IVelomixProp,
                             public ISpecifyPropertyPages,
                             private IVelomixSpeedOwner {
public:
    // The create function of the module's template table.
    static CUnknown* CreateInstance(IUnknown* pUnkOuter, HRESULT* phr);

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVelomixProp (contract in IVelomixProp.h)
    STDMETHODIMP SetTempo(double dTempo) override;
    STDMETHODIMP GetTempo(double* pdTempo) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP SetPitch(int nPitch) override;
    STDMETHODIMP GetPitch(int* pnPitch) override;

    // IVelomixSpeedOwner, for the control server: a request's three values as one combination.
    VelomixValues SpeedInForce() noexcept override;
    void ExchangeSpeed(CVelomixSpeedExchange& exchange) noexcept override;

    // ISpecifyPropertyPages: the one page, CLSID_VelomixProp1, in task memory.
    STDMETHODIMP GetPages(CAUUID* pPages) override;

    // CTransformFilter
    HRESULT Receive(IMediaSample* pSample) override;
    // Not called: Receive delivers each input's outputs itself.
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;
    HRESULT CheckInputType(const CMediaType* mtIn) override;
    HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
    HRESULT DecideBufferSize(IMemAllocator* pAllocator, ALLOCATOR_PROPERTIES* pProp) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pPin) override;
    HRESULT BreakConnect(PIN_DIRECTION dir) override;
    HRESULT EndOfStream() override;
    HRESULT EndFlush() override;
    HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;
    HRESULT StartStreaming() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    CCopyTransformFilter(IUnknown* pUnk, HRESULT* phr);
    ~CCopyTransformFilter() override;

    HRESULT CreatePins();

    // One input sample as the streaming path reads it, once: its payload, stamps and flags.
    struct InputSample {
        const BYTE* pData = nullptr;
        LONG cbData = 0;     // bytes to use, within the input's buffer
        int32_t nFrames = 0; // whole frames of them
        SampleStamps stamps;
        MediaUnit unit = MediaUnit::None;
        bool bSyncPoint = false, bPreroll = false, bDiscontinuity = false;
        MediaTypePtr pmt; // a type the sample carries
    };
    HRESULT ReadInput(IMediaSample* pIn, InputSample& in);
    // The stream's format from now on: a type a sample carries (or the connection's).
    void FollowStreamFormat(const AM_MEDIA_TYPE& mt);
    // Reconfigures the processor when the stream's format differs from its configuration.
    HRESULT UpdateProcessorFormat(const AudioFormat& fmt);
    // Hands the speed values to the processor when a change is latched, or always (bForce). A
    // stretch that ends, or whose engine holds much input, ends at the next input (a splice);
    // the owed output follows the change. The settings file is read and the engine driven
    // outside m_csSpeed.
    HRESULT ApplySpeedChanges(bool bForce = false);
    StretchTuning ReadStretchTuning(double dTempo) const;
    // An engine call that failed, as a stream error: logged, EC_ERRORABORT, and the HRESULT to
    // return upstream.
    HRESULT StreamError(EngineResult result, const char* what);
    // Any failure of our own that stops the stream, the same way.
    HRESULT StreamFailure(HRESULT hr, const char* what);

    // The one output loop: the input's outputs as m_Plan cuts them, from the input itself
    // (bCopy) or from the processor's ring (feeding the input group by group).
    HRESULT DeliverInput(InputSample& in, bool bCopy);
    HRESULT FeedGroup(InputSample& in);
    HRESULT EndStretch(InputSample& in);
    // Stamps, flags and type of an output; false when restamping leaves it out (empty).
    bool PrepareOutput(IMediaSample* pOut, const InputSample& in, const InputPlan::Output& slot,
                       bool bFirst, bool bCopy);
    // Delivers the rest of the stream after end of stream: what the processor still holds,
    // padded or trimmed to the length the engine owes. A failure of our own is a stream error
    // (its HRESULT); a refusal downstream, or a stop or flush begun meanwhile, ends the tail
    // (S_OK): downstream reports its own errors, and the end of stream still goes out.
    HRESULT DeliverTail();
    SampleStamps TailStamps(LONG cb);
    void ResetStream();
    // Outputs stamped by the audio they carry: RESTAMP, or a segment whose rate the filter takes.
    bool StampsByAudio() const { return m_bRestamp || m_Segment.Scales(); }

    // The filter connected to the first pin of direction dir of pFilter, or null.
    static ComPtr<IBaseFilter> FindUpstreamFilter(IBaseFilter* pFilter, PIN_DIRECTION dir);
    HRESULT SetSpeedValue(double CCopyTransformFilter::*pMember, double dValue);

    // Speed values under m_csSpeed.
    bool m_bSpeedChanged = false;
    double m_dTempo = 1.0;
    double m_dRate = 1.0;
    int m_nPitch = 0;
    // Set when the connection check finds an instance of this class at or upstream of the pin
    // being connected, cleared when the output is disconnected (see CheckConnect).
    std::atomic<bool> m_bDuplicateUpstream{false};

    // Streaming state: touched only on the streaming thread (or under m_csReceive).
    CSpeedProcessor m_Processor;
    AudioFormat m_StreamFormat;        // of the type samples currently carry
    bool m_bStreamFormatValid = false; // false until connected, or after a type it cannot take
    InputPlan m_Plan;                  // the outputs of the input being delivered
    // The output buffers' size as the allocator granted it (DecideBufferSize, at connection).
    std::atomic<LONG> m_cbOutBuffer{0};
    int32_t m_nFed = 0; // its frames fed to the processor
    int32_t m_nSliceFrames = 0;
    OwedOutput m_Owed; // output the engine owes for its stretch
    // A change latched for the next input: the stretch ends there (to a copy, or to a fresh
    // engine at m_nNext when the old one held too much input to make it at the new speed).
    bool m_bEndStretch = false;
    bool m_bEndToStretch = false;
    int32_t m_nNext[3] = {0, 0, 0}; // tempo and rate change in percent, pitch
    double m_dNextTempo = 1.0;
    std::vector<uint8_t> m_Held; // input waiting for the stretch to end (kMaxEndHoldMs at most)
    static constexpr int kMaxEndHoldMs = 250;
    // Most input the engine may hold at a change and make at the new speed, in ms.
    static constexpr int kMaxHeldAtNewSpeedMs = 100;
    int64_t m_tTailStart = 0;  // where the tail after end of stream starts
    int64_t m_nTailFrames = 0; // frames of tail delivered from there
    bool m_bTailTimeValid = false;
    // Restamping (m_bRestamp): the clock, and the discontinuity of an output left out for being
    // empty, carried to the next one.
    bool m_bRestamp = false;
    StampClock m_Clock;
    bool m_bHeldDiscontinuity = false;
    // Segment-rate mode (SEGMENT_RATE): the rate of the segment being played, taken as a tempo
    // factor; a new rate is applied at the next input like a setter's change.
    bool m_bSegmentRateMode = false;
    SegmentRate m_Segment;
    bool m_bSegmentRateChanged = false;

    // The settings file, and its "INIT" section as read when this object was made (the
    // anti-alias length as a mono stream leaves it, see UpdateProcessorFormat).
    const std::string m_strIniPath;
    InitSettings m_Init;

    CCritSec m_csSpeed;
    // Last: its thread calls this filter's IVelomixProp methods, so it goes first in teardown.
    // Empty when the process keeps off the control channel (VELOMIX_CHANNEL=off): such a
    // filter neither serves nor publishes, and no controller hears of it arriving or leaving.
    // Set in the constructor only.
    std::optional<CVelomixCommServer> m_CommServer;
};
