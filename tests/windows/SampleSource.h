// The tests' own source: one output pin "Out" offering one audio type, without a thread of its
// own. The case's thread pushes each sample while the graph runs, so that what it does between two
// samples (set the speed) happens on the streaming thread, as a player's source thread would do it.
#pragma once

#include "BaseFilter.h"
#include "BasePin.h"
#include "Support.h"

class CSampleSource;

class CSampleSourcePin final : public CBaseOutputPin {
public:
    CSampleSourcePin(CSampleSource* pSource, CCritSec* pLock, HRESULT* phr, const CMediaType& mt,
                     LONG cbBuffer) noexcept;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override;

private:
    CMediaType m_Type;
    LONG m_cbBuffer;
};

class CSampleSource final : public CBaseFilter {
public:
    // A new source of buffers of cbBuffer bytes, with one reference owned by the caller.
    static ComPtr<CSampleSource> Create(const CMediaType& mt, LONG cbBuffer);

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_Pin : nullptr; }

    // While the graph runs, on the case's thread: a sample of cb bytes stamped [tStart, tStop)
    // with media times in frames, a sync point, a discontinuity when asked.
    HRESULT Push(const BYTE* pData, LONG cb, REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                 LONGLONG mtStart, LONGLONG mtStop, bool bDiscontinuity);
    HRESULT NewSegment(REFERENCE_TIME tStop, double dRate = 1.0) {
        return m_Pin.DeliverNewSegment(0, tStop, dRate);
    }
    HRESULT EndOfStream() { return m_Pin.DeliverEndOfStream(); }

private:
    CSampleSource(const CMediaType& mt, LONG cbBuffer, HRESULT* phr) noexcept;

    CCritSec m_csFilter;
    CSampleSourcePin m_Pin;
};
