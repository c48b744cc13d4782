// CCollectingSink: a renderer for hosts and tests that keeps what reaches its input pin "In".
//
// It records, in arrival order, every sample (a copy of its payload and properties), every
// end of stream, flush and new segment, and can hand each sample to a callback (the host's
// file writer). A sink that stores no samples only counts them (Count, WaitForSamples): its
// record then holds the other calls alone, so a long run's memory stays flat. It reports
// AM_FILTER_MISC_FLAGS_IS_RENDERER, so a graph waits for it: after an end of stream it sends
// EC_COMPLETE to the graph once it runs (at once when running, else on Run); a flush or a new start
// (leaving Stopped) re-arms it.
//
// Threads: samples and stream calls arrive on the upstream streaming thread; the query
// helpers and waits may be called from any thread. The record has its own lock, taken after
// the filter lock and never held while calling out. The callback runs on the streaming
// thread outside that lock.
#pragma once

#include "BasePin.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One sample as the sink received it.
struct ReceivedSample {
    std::vector<BYTE> data; // the first lActual bytes of the buffer
    LONG lActual = 0;
    LONG cbBuffer = 0; // GetSize
    bool bTimeValid = false;
    bool bStopValid = false;
    REFERENCE_TIME tStart = 0;
    REFERENCE_TIME tStop = 0;
    bool bMediaTimeValid = false;
    LONGLONG mtStart = 0;
    LONGLONG mtStop = 0;
    bool bSyncPoint = false;
    bool bDiscontinuity = false;
    bool bPreroll = false;
    bool bTypeChanged = false;
    CMediaType mediaType; // the new type when bTypeChanged
};

// One call that reached the input pin.
struct SinkEvent {
    enum Kind { Sample, EndOfStream, BeginFlush, EndFlush, NewSegment };
    Kind kind = Sample;
    size_t iSample = 0;        // Sample: its index among all samples received (stored or not)
    REFERENCE_TIME tStart = 0; // NewSegment arguments
    REFERENCE_TIME tStop = 0;
    double dRate = 0;

    // "sample", "eos", "flush-begin", "flush-end" or "segment".
    const char* Name() const noexcept;
};

class CCollectingSink final : public CBaseFilter, public IAMFilterMiscFlags {
public:
    // S_OK accepts the type; anything else refuses it.
    using TypeCheck = std::function<HRESULT(const CMediaType& mt)>;
    // Called for every sample received; a failure is returned from Receive (upstream then
    // stops pushing). Runs on the streaming thread.
    using SampleCallback = std::function<HRESULT(IMediaSample* pSample, const ReceivedSample& s)>;

    struct Options {
        bool bStoreSamples = true; // keep every sample for Samples()
        SampleCallback onSample;   // optional
    };

    // A new sink with one reference owned by the caller. E_POINTER for a null result,
    // E_INVALIDARG for an empty check.
    static HRESULT Create(TypeCheck check, Options options, CCollectingSink** ppSink) noexcept;
    // A sink that accepts any type of the given major type.
    static HRESULT Create(REFGUID majorType, Options options, CCollectingSink** ppSink) noexcept;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    IPin* InputPin() noexcept; // not AddRef'd

    // ---- the record (any thread) ----
    std::vector<ReceivedSample> Samples() const;
    // Every call in arrival order; samples only when the sink stores them.
    std::vector<SinkEvent> Events() const;
    std::vector<std::string> EventNames() const;
    // Calls of one kind since the last Clear; for Sample, every sample, stored or not.
    size_t Count(SinkEvent::Kind kind) const;
    // Samples offered while the sink was flushing (refused, as a renderer refuses them): an
    // upstream filter that delivers after a flush has begun.
    size_t SamplesWhileFlushing() const;
    // True once an end of stream has been accepted since the last flush or start.
    bool EndOfStreamReached() const;
    // Waits for that; false on timeout.
    bool WaitForEndOfStream(DWORD timeoutMs) const;
    // Waits until at least n samples have arrived in total; false on timeout.
    bool WaitForSamples(size_t n, DWORD timeoutMs) const;
    // Forgets every sample and event (the end-of-stream state stays).
    void Clear();

private:
    class CInputPin;
    friend class CInputPin;

    CCollectingSink(TypeCheck check, Options options) noexcept;
    ~CCollectingSink() override;

    // Called by the pin on the streaming thread.
    HRESULT OnSample(IMediaSample* pSample, const AM_SAMPLE2_PROPERTIES& props);
    void OnEvent(const SinkEvent& event);
    void OnSampleWhileFlushing();
    void OnEndOfStream();
    void Rearm();

    const TypeCheck m_Check;
    const Options m_Options;
    CCritSec m_csFilter;
    std::unique_ptr<CInputPin> m_pPin;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<ReceivedSample> m_Samples;
    std::vector<SinkEvent> m_Events;
    size_t m_cSamplesSeen = 0;
    size_t m_cSamplesWhileFlushing = 0;
    ReceivedSample m_Scratch; // the sample handed to the callback when none is stored
    bool m_bEndOfStream = false;
    bool m_bCompleteSent = false;
};
