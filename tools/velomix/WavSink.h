// The Windows job's file writer as a renderer filter: one input pin "In" that takes audio with
// a wave format and writes every byte it receives to a WAV file (WavFile.h).
//
// A renderer for the graph (IAMFilterMiscFlags): it reports EC_COMPLETE at the end of stream
// once it runs, so the graph's completion reaches the job, and EC_ERRORABORT when a write
// fails. It writes as fast as samples come: no clock is waited for.
//
// Threads: BeginFile and FinishFile belong to the job's thread, with the graph
// stopped; samples arrive on the streaming thread. DataBytes, StreamPosition and WriteFailed
// may be read from any thread at any time.
#pragma once

#include "BasePin.h"
#include "WavFile.h"

#include <atomic>
#include <cstdint>
#include <string>

class CWavSink;

class CWavSinkInputPin final : public CBaseInputPin {
public:
    CWavSinkInputPin(CWavSink* pSink, CCritSec* pLock, HRESULT* phr) noexcept;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

private:
    CWavSink* m_pSink;
};

class CWavSink final : public CBaseFilter, public IAMFilterMiscFlags {
public:
    // A new sink with one reference owned by the caller; null when out of memory.
    static ComPtr<CWavSink> Create();

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IAMFilterMiscFlags
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

    STDMETHODIMP Stop() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_Pin : nullptr; }

    // Creates the output file and writes the header for the connection's format; once
    // connected, before the graph runs. False with FileError() set.
    bool BeginFile(const std::string& path);
    // Completes the header and closes the file; after the graph has stopped.
    bool FinishFile();
    std::string FileError();
    // The connection's format (valid once connected).
    const WAVEFORMATEX& Format() const noexcept { return m_wfx; }

    uint64_t DataBytes() const noexcept { return m_cbWritten.load(); }
    // The latest stop time of a received sample: how far into the input the stream has got,
    // since the filter in front keeps the input's time stamps.
    REFERENCE_TIME StreamPosition() const noexcept { return m_tPosition.load(); }
    bool WriteFailed() const noexcept { return m_bWriteFailed.load(); }

private:
    friend class CWavSinkInputPin;
    explicit CWavSink(HRESULT* phr) noexcept;

    HRESULT OnSample(IMediaSample* pSample);
    void OnEndOfStream();
    void OnBeginFlush();

    CCritSec m_csFilter;
    CCritSec m_csFile; // the writer and the pending end of stream; never held while waiting
    CWavSinkInputPin m_Pin;
    CWavFileWriter m_Writer;
    WAVEFORMATEX m_wfx{};
    std::string m_StreamError;  // why the stream could not be written, beyond the writer's errors
    bool m_bEosPending = false; // an end of stream to report when the graph runs
    std::atomic<uint64_t> m_cbWritten{0};
    std::atomic<REFERENCE_TIME> m_tPosition{0};
    std::atomic<bool> m_bWriteFailed{false};
};
