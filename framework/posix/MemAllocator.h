// The memory allocator and its media samples for the native build: the published behaviour
// of CLSID_MemoryAllocator.
//
// Allocator (any thread):
//  - SetProperties: E_POINTER for a null argument; VFW_E_ALREADY_COMMITTED while committed;
//    VFW_E_BUFFERS_OUTSTANDING while samples of a decommitted allocator are still out;
//    VFW_E_BADALIGN unless cbAlign is a power of two no larger than 64 KiB (the platform's
//    allocation granularity); E_INVALIDARG for a negative count, size or prefix, or a size
//    that overflows once aligned. The granted properties are reported in *pActual: cbBuffer
//    grows so that prefix + buffer is a multiple of cbAlign; the prefix lies in front of each
//    buffer and is not counted in cbBuffer. A refused request changes nothing.
//  - Commit: VFW_E_SIZENOTSET until a positive count and size are set; allocates the buffers;
//    S_OK when already committed; cancels a decommit still waiting for samples.
//  - Decommit: GetBuffer fails with VFW_E_NOT_COMMITTED from now on, callers blocked in it
//    are woken with that error; the memory is freed once the last sample out comes back.
//    Samples still out stay valid until released.
//  - GetBuffer: waits (without polling) until a buffer is free; VFW_E_TIMEOUT instead of
//    waiting with AM_GBF_NOWAIT. The start and stop times are hints and are not stamped on
//    the sample, as with the platform's allocator. Each sample handed out has no flags, no
//    times, no media times and no media type; its actual length is what its previous user
//    left (initially the buffer size). A sample out holds a reference on the allocator.
//  - ReleaseBuffer: called by a sample whose count fell to zero; E_INVALIDARG for anything
//    that is not a released sample of this allocator.
#pragma once

#include "Unknown.h"
#include "media.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

class CMemAllocator;

// A buffer of a CMemAllocator. Not aggregatable, not created on its own: the allocator owns
// it, and its reference count only says whether it is out. A sample is used by one thread at
// a time (the one holding it); handing it on is the synchronisation.
class CMediaSample final : public IMediaSample2 {
public:
    CMediaSample(CMemAllocator* pAllocator, BYTE* pBuffer, LONG cbBuffer) noexcept;
    ~CMediaSample();
    CMediaSample(const CMediaSample&) = delete;
    CMediaSample& operator=(const CMediaSample&) = delete;

    // IUnknown: IUnknown, IMediaSample, IMediaSample2. At zero references the sample goes
    // back to its allocator.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IMediaSample. Flag queries answer S_OK (set) or S_FALSE (clear).
    STDMETHODIMP GetPointer(BYTE** ppBuffer) override;
    STDMETHODIMP_(LONG) GetSize() override;
    // VFW_E_SAMPLE_TIME_NOT_SET without a start time; VFW_S_NO_STOP_TIME with only a start
    // time, the stop reported as start + 1.
    STDMETHODIMP GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    // A null start clears both times; a null end clears only the stop time.
    STDMETHODIMP SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    STDMETHODIMP IsSyncPoint() override;
    STDMETHODIMP SetSyncPoint(BOOL bIsSyncPoint) override;
    STDMETHODIMP IsPreroll() override;
    STDMETHODIMP SetPreroll(BOOL bIsPreroll) override;
    STDMETHODIMP_(LONG) GetActualDataLength() override;
    // VFW_E_BUFFER_OVERFLOW for a length below zero or beyond the buffer.
    STDMETHODIMP SetActualDataLength(LONG lLen) override;
    // S_FALSE and a null type when the type did not change; else a task-memory copy the
    // caller frees with DeleteMediaType.
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
    // Keeps a copy and marks the type changed; null clears it. On failure the previous type
    // stays.
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
    STDMETHODIMP IsDiscontinuity() override;
    STDMETHODIMP SetDiscontinuity(BOOL bDiscontinuity) override;
    // VFW_E_MEDIA_TIME_NOT_SET when none is set. Setting: a null start clears; a start
    // without an end is E_POINTER.
    STDMETHODIMP GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    STDMETHODIMP SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

    // IMediaSample2. GetProperties copies up to cbProperties bytes of AM_SAMPLE2_PROPERTIES;
    // pMediaType there points at the sample's own type (not a copy). SetProperties takes the
    // fields up to cbProperties (and the record's own cbData); the buffer pointer and size
    // cannot change (E_INVALIDARG unless zero or equal), nor can an unknown flag be set or
    // lActual leave the buffer. A refused record changes nothing.
    STDMETHODIMP GetProperties(DWORD cbProperties, BYTE* pbProperties) override;
    STDMETHODIMP SetProperties(DWORD cbProperties, const BYTE* pbProperties) override;

private:
    friend class CMemAllocator;
    struct MediaTypeDeleter {
        void operator()(AM_MEDIA_TYPE* p) const noexcept;
    };

    // Back to the state of a fresh hand-out (flags, times, media times, type).
    void Reset() noexcept;

    std::atomic<long> m_cRef{0};
    CMemAllocator* const m_pAllocator; // the owner; outlives the sample
    BYTE* const m_pBuffer;
    const LONG m_cbBuffer;
    LONG m_lActual;
    DWORD m_dwFlags = 0;
    DWORD m_dwTypeSpecificFlags = 0;
    DWORD m_dwStreamId = AM_STREAM_MEDIA;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0;
    bool m_bMediaTimeValid = false;
    LONGLONG m_mtStart = 0;
    LONGLONG m_mtStop = 0;
    std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter> m_pMediaType;
    bool m_bOut = false; // under the allocator's lock
};

class CMemAllocator final : public CUnknown, public IMemAllocator {
public:
    // A new allocator with one reference owned by the caller. The platform's allocator cannot
    // be aggregated, and this one is never created with an owner.
    static HRESULT Create(IMemAllocator** ppAlloc) noexcept;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest,
                               ALLOCATOR_PROPERTIES* pActual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime,
                           REFERENCE_TIME* pEndTime, DWORD dwFlags) override;
    STDMETHODIMP ReleaseBuffer(IMediaSample* pBuffer) override;

private:
    CMemAllocator() noexcept;
    ~CMemAllocator() override;

    struct FreeDeleter {
        void operator()(BYTE* p) const noexcept { std::free(p); }
    };

    // Under m_mutex.
    HRESULT Alloc();
    void FreeBuffers() noexcept;
    bool AnyOut() const noexcept { return m_Free.size() != m_Samples.size(); }

    std::mutex m_mutex;
    std::condition_variable m_cvFree; // a buffer came back, or the allocator was decommitted
    ALLOCATOR_PROPERTIES m_Props{};
    bool m_bCommitted = false;
    bool m_bDecommitPending = false; // decommitted with samples out: free on the last return
    std::unique_ptr<BYTE, FreeDeleter> m_pMemory;
    std::vector<std::unique_ptr<CMediaSample>> m_Samples;
    std::vector<CMediaSample*> m_Free;
};
