// The tests' own renderer: one input pin that accepts PCM of 8 to 32 bits and 32-bit float, and
// keeps every byte it receives, with the samples' time stamps, flushes and new segments, as a log
// the test reads afterwards.
//
// A renderer for the graph (IAMFilterMiscFlags): it reports EC_COMPLETE for an end of stream
// once it runs, so the graph's completion reaches the test. It answers IMediaSeeking and
// IMediaPosition through the platform's seeking pass-through, so the graph's seeking goes
// upstream through it. A gate can hold the streaming thread once a given number of bytes has
// arrived (a renderer waiting for its clock does the same); a flush or Stop opens it.
#pragma once

#include "BasePin.h"
#include "Support.h"

#include <cstdint>
#include <vector>

class CCaptureSink;

struct CaptureLog {
    struct Sample {
        size_t offset; // where its bytes start in bytes
        size_t length;
        bool timeValid;
        REFERENCE_TIME tStart;
        REFERENCE_TIME tStop;
    };
    struct Segment {
        size_t offset; // bytes received before it
        REFERENCE_TIME tStart;
        REFERENCE_TIME tStop;
        double rate;
    };
    std::vector<uint8_t> bytes;
    std::vector<Sample> samples;
    std::vector<Segment> segments;
    std::vector<size_t> flushes; // bytes received before each BeginFlush
    int endOfStreams = 0;
    WAVEFORMATEX wfx{};
};

class CCaptureInputPin final : public CBaseInputPin {
public:
    CCaptureInputPin(CCaptureSink* pSink, CCritSec* pLock, HRESULT* phr) noexcept;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    CCaptureSink* m_pSink;
};

class CCaptureSink final : public CBaseFilter, public IAMFilterMiscFlags {
public:
    // A new sink with one reference, owned by the caller.
    static ComPtr<CCaptureSink> Create();

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IAMFilterMiscFlags
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

    STDMETHODIMP Stop() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_Pin : nullptr; }

    // A copy of what has arrived so far.
    CaptureLog Log();
    // Holds the streaming thread once `bytes` bytes in total have arrived; HeldEvent() is set
    // while it waits.
    void CloseGateAt(size_t bytes);
    HANDLE HeldEvent() const noexcept { return m_evHeld.Get(); }
    // Set at each end of stream.
    HANDLE EndOfStreamEvent() const noexcept { return m_evEndOfStream.Get(); }

private:
    friend class CCaptureInputPin;
    CCaptureSink(HRESULT* phr) noexcept;
    ~CCaptureSink() override;

    void OnSample(IMediaSample* pSample);
    void OnEndOfStream();
    void OnBeginFlush();
    void OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);
    void OpenGate();

    CCritSec m_csFilter;
    CCritSec m_csLog; // the log and the gate; never held while waiting
    CCaptureInputPin m_Pin;
    CaptureLog m_Log;
    bool m_bEosPending = false; // an end of stream to report when the graph runs
    size_t m_cbGate = SIZE_MAX;
    CHandle m_evGate{CreateEventW(nullptr, TRUE, TRUE, nullptr)}; // open while set
    CHandle m_evHeld{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandle m_evEndOfStream{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    IUnknown* m_pPosition = nullptr; // the aggregated pass-through's inner IUnknown, owned
    CCritSec m_csPosition;
};
