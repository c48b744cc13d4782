// CPushSource: a source filter for hosts and tests, with one output pin "Out" and its own
// streaming thread, fed by a CSampleProvider the host supplies.
//
// Streaming: leaving Stopped commits the allocator and starts the thread, which first
// delivers NewSegment(start, stop, rate) and then pushes one sample per FillBuffer until the
// provider says S_FALSE (end of stream delivered, thread ends), fails (EC_ERRORABORT with
// the failure, then end of stream; thread ends) or downstream refuses a sample (the thread
// ends quietly, as the framework's sources do). Stop decommits the allocator, which wakes a
// thread waiting for a buffer, and joins it.
//
// Seeking: the output pin answers IMediaSeeking itself, in TIME_FORMAT_MEDIA_TIME only.
// SetPositions (absolute, relative, or incremental for the stop) flushes downstream
// (BeginFlush), stops the thread, has the provider seek, ends the flush and, when the filter
// is active, restarts the thread, which announces the new segment. Position checks come
// first and a refused request changes nothing: E_POINTER for a missing position,
// E_INVALIDARG for a negative start or an incremental start, VFW_E_START_TIME_AFTER_END for
// a stop before the start, E_NOTIMPL when the provider cannot seek. GetCurrentPosition is
// the segment start plus the stream time delivered in it. SetRate (positive) is stored and
// announced with the next segment; time stamps are not scaled by it.
//
// Locks: state changes and seeks run under the filter lock; the streaming thread never takes
// it. Positions have their own small lock.
#pragma once

#include "BasePin.h"

#include <memory>
#include <vector>

// What the provider tells about one chunk it wrote into a buffer.
struct SourceChunk {
    LONG cbData = 0; // bytes written, 0 .. the buffer size
    bool bTimeValid = false;
    REFERENCE_TIME tStart = 0; // stream time within the current segment, 100 ns
    REFERENCE_TIME tStop = 0;
    bool bStopValid = true; // false: the sample carries a start time only
    bool bMediaTimeValid = false;
    LONGLONG mtStart = 0;
    LONGLONG mtStop = 0;
    bool bSyncPoint = false;
    bool bDiscontinuity = false;
    bool bPreroll = false;
    const AM_MEDIA_TYPE* pNewType = nullptr; // a type change carried by this sample
};

// The data behind a CPushSource. FillBuffer and SeekTo run on one thread at a time (the
// streaming thread, or a seek while that thread is stopped); an exception from them counts as
// a failure. The const queries may be called from any thread and must not throw.
class CSampleProvider {
public:
    virtual ~CSampleProvider() = default;
    // Writes the next chunk into pBuffer (cbBuffer bytes): S_OK one chunk written (*pChunk
    // describes it), S_FALSE end of stream, a failure aborts the stream.
    virtual HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) = 0;
    // Continues from tStart and ends at tStop (100 ns from the start of the data).
    virtual HRESULT SeekTo(REFERENCE_TIME tStart, REFERENCE_TIME tStop) {
        (void)tStart;
        (void)tStop;
        return E_NOTIMPL;
    }
    virtual bool CanSeek() const noexcept { return false; }
    // The length of the data, 100 ns.
    virtual REFERENCE_TIME Duration() const noexcept { return 0; }
};

// Streams a block of interleaved PCM in whole frames. Sample times count from the start of
// the current segment (frame n of a segment starting at frame s gets FrameTime(n - s)), so
// consecutive samples join exactly; media times are absolute frame numbers. Every sample is
// a sync point; the first one after construction or a seek is a discontinuity. A seek goes
// to the frame at or before the start and ends at the first frame at or after the stop.
class CPcmProvider final : public CSampleProvider {
public:
    // cbMaxChunk limits a chunk (0: as much as a buffer holds); rounded down to whole frames.
    CPcmProvider(const WAVEFORMATEX& wfx, std::vector<BYTE> data, LONG cbMaxChunk = 0);

    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override;
    HRESULT SeekTo(REFERENCE_TIME tStart, REFERENCE_TIME tStop) override;
    bool CanSeek() const noexcept override { return true; }
    REFERENCE_TIME Duration() const noexcept override;

    // Stream time of n frames at the given rate, 100 ns rounded down.
    static REFERENCE_TIME FrameTime(LONGLONG n, DWORD nSamplesPerSec) noexcept;

private:
    LONGLONG FrameAt(REFERENCE_TIME t, bool bRoundUp) const noexcept;

    const DWORD m_nSamplesPerSec;
    const LONG m_cbFrame;
    const std::vector<BYTE> m_Data;
    const LONG m_cbMaxChunk;
    const LONGLONG m_cFrames;
    LONGLONG m_SegmentFrame = 0; // first frame of the segment
    LONGLONG m_NextFrame = 0;
    LONGLONG m_EndFrame;
    bool m_bDiscontinuity = true;
};

class CPushSource final : public CBaseFilter, public IAMFilterMiscFlags {
public:
    // The allocator the source asks for; a downstream pin's larger requirements win.
    struct Options {
        LONG cBuffers = 4;
        LONG cbBuffer = 4096;
        LONG cbAlign = 1;
        LONG cbPrefix = 0;
    };

    // A new source offering exactly mt, with one reference owned by the caller. E_POINTER
    // for a null result or provider, E_INVALIDARG for an invalid type.
    static HRESULT Create(const CMediaType& mt, std::unique_ptr<CSampleProvider> pProvider,
                          const Options& options, CPushSource** ppSource) noexcept;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    IPin* OutputPin() noexcept; // not AddRef'd

private:
    class COutputPin;
    friend class COutputPin;

    CPushSource() noexcept;
    ~CPushSource() override;

    CCritSec m_csFilter;
    std::unique_ptr<COutputPin> m_pPin;
};
