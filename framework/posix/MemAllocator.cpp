#include "posix/MemAllocator.h"

#include "MediaType.h"
#include "Platform.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace {

constexpr DWORD kKnownSampleFlags =
    AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY |
    AM_SAMPLE_TYPECHANGED | AM_SAMPLE_TIMEVALID | AM_SAMPLE_TIMEDISCONTINUITY |
    AM_SAMPLE_FLUSH_ON_PAUSE | AM_SAMPLE_STOPVALID | AM_SAMPLE_ENDOFSTREAM;

// The platform refuses alignments coarser than its allocation granularity.
constexpr LONG kMaxAlign = 64 * 1024;

HRESULT FlagResult(DWORD flags, DWORD flag) {
    return (flags & flag) ? S_OK : S_FALSE;
}

void SetFlag(DWORD& flags, DWORD flag, BOOL on) {
    if (on)
        flags |= flag;
    else
        flags &= ~flag;
}

} // namespace

// ---- CMediaSample --------------------------------------------------------------------------

void CMediaSample::MediaTypeDeleter::operator()(AM_MEDIA_TYPE* p) const noexcept {
    DeleteMediaType(p);
}

CMediaSample::CMediaSample(CMemAllocator* pAllocator, BYTE* pBuffer, LONG cbBuffer) noexcept
    : m_pAllocator(pAllocator), m_pBuffer(pBuffer), m_cbBuffer(cbBuffer), m_lActual(cbBuffer) {}

CMediaSample::~CMediaSample() = default;

void CMediaSample::Reset() noexcept {
    m_dwFlags = 0;
    m_dwTypeSpecificFlags = 0;
    m_dwStreamId = AM_STREAM_MEDIA;
    m_tStart = m_tStop = 0;
    m_bMediaTimeValid = false;
    m_mtStart = m_mtStop = 0;
    m_pMediaType.reset();
}

STDMETHODIMP CMediaSample::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample) ||
        IsEqualIID(riid, IID_IMediaSample2)) {
        *ppv = static_cast<IMediaSample2*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSample::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CMediaSample::Release() {
    const long cRef = --m_cRef;
    if (cRef == 0) {
        // May free this sample (a decommitted allocator's last one): touch nothing after.
        m_pAllocator->ReleaseBuffer(this);
        return 0;
    }
    return static_cast<ULONG>(std::max(cRef, 0L));
}

STDMETHODIMP CMediaSample::GetPointer(BYTE** ppBuffer) {
    if (!ppBuffer)
        return E_POINTER;
    *ppBuffer = m_pBuffer;
    return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetSize() {
    return m_cbBuffer;
}

STDMETHODIMP CMediaSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    if (!pTimeStart || !pTimeEnd)
        return E_POINTER;
    if (!(m_dwFlags & AM_SAMPLE_TIMEVALID))
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *pTimeStart = m_tStart;
    if (!(m_dwFlags & AM_SAMPLE_STOPVALID)) {
        // What the platform reports, so that old callers still see a non-empty span (at the
        // very end of the range, an empty one rather than an overflow).
        *pTimeEnd = m_tStart < INT64_MAX ? m_tStart + 1 : m_tStart;
        return VFW_S_NO_STOP_TIME;
    }
    *pTimeEnd = m_tStop;
    return S_OK;
}

STDMETHODIMP CMediaSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    if (!pTimeStart) {
        m_dwFlags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
        return S_OK;
    }
    m_tStart = *pTimeStart;
    m_dwFlags |= AM_SAMPLE_TIMEVALID;
    if (pTimeEnd) {
        m_tStop = *pTimeEnd;
        m_dwFlags |= AM_SAMPLE_STOPVALID;
    } else {
        m_dwFlags &= ~AM_SAMPLE_STOPVALID;
    }
    return S_OK;
}

STDMETHODIMP CMediaSample::IsSyncPoint() {
    return FlagResult(m_dwFlags, AM_SAMPLE_SPLICEPOINT);
}

STDMETHODIMP CMediaSample::SetSyncPoint(BOOL bIsSyncPoint) {
    SetFlag(m_dwFlags, AM_SAMPLE_SPLICEPOINT, bIsSyncPoint);
    return S_OK;
}

STDMETHODIMP CMediaSample::IsPreroll() {
    return FlagResult(m_dwFlags, AM_SAMPLE_PREROLL);
}

STDMETHODIMP CMediaSample::SetPreroll(BOOL bIsPreroll) {
    SetFlag(m_dwFlags, AM_SAMPLE_PREROLL, bIsPreroll);
    return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetActualDataLength() {
    return m_lActual;
}

STDMETHODIMP CMediaSample::SetActualDataLength(LONG lLen) {
    if (lLen < 0 || lLen > m_cbBuffer)
        return VFW_E_BUFFER_OVERFLOW;
    m_lActual = lLen;
    return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType) {
    if (!ppMediaType)
        return E_POINTER;
    *ppMediaType = nullptr;
    if (!m_pMediaType)
        return S_FALSE;
    *ppMediaType = CreateMediaType(m_pMediaType.get());
    return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType) {
    if (!pMediaType) {
        m_pMediaType.reset();
        m_dwFlags &= ~AM_SAMPLE_TYPECHANGED;
        return S_OK;
    }
    AM_MEDIA_TYPE* pCopy = CreateMediaType(pMediaType);
    if (!pCopy)
        return E_OUTOFMEMORY;
    m_pMediaType.reset(pCopy);
    m_dwFlags |= AM_SAMPLE_TYPECHANGED;
    return S_OK;
}

STDMETHODIMP CMediaSample::IsDiscontinuity() {
    return FlagResult(m_dwFlags, AM_SAMPLE_DATADISCONTINUITY);
}

STDMETHODIMP CMediaSample::SetDiscontinuity(BOOL bDiscontinuity) {
    SetFlag(m_dwFlags, AM_SAMPLE_DATADISCONTINUITY, bDiscontinuity);
    return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (!pTimeStart || !pTimeEnd)
        return E_POINTER;
    if (!m_bMediaTimeValid)
        return VFW_E_MEDIA_TIME_NOT_SET;
    *pTimeStart = m_mtStart;
    *pTimeEnd = m_mtStop;
    return S_OK;
}

STDMETHODIMP CMediaSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (!pTimeStart) {
        m_bMediaTimeValid = false;
        return S_OK;
    }
    if (!pTimeEnd)
        return E_POINTER;
    m_mtStart = *pTimeStart;
    m_mtStop = *pTimeEnd;
    m_bMediaTimeValid = true;
    return S_OK;
}

STDMETHODIMP CMediaSample::GetProperties(DWORD cbProperties, BYTE* pbProperties) {
    if (cbProperties == 0)
        return S_OK;
    if (!pbProperties)
        return E_POINTER;
    AM_SAMPLE2_PROPERTIES props{};
    props.cbData = std::min<DWORD>(cbProperties, sizeof(props));
    props.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
    props.dwSampleFlags = m_dwFlags;
    props.lActual = m_lActual;
    props.tStart = m_tStart;
    props.tStop = m_tStop;
    props.dwStreamId = m_dwStreamId;
    props.pMediaType = m_pMediaType.get();
    props.pbBuffer = m_pBuffer;
    props.cbBuffer = m_cbBuffer;
    std::memcpy(pbProperties, &props, props.cbData);
    return S_OK;
}

STDMETHODIMP CMediaSample::SetProperties(DWORD cbProperties, const BYTE* pbProperties) {
    if (cbProperties < sizeof(DWORD))
        return S_OK; // not even cbData: nothing to take
    if (!pbProperties)
        return E_POINTER;
    if (cbProperties > sizeof(AM_SAMPLE2_PROPERTIES))
        return E_INVALIDARG;
    AM_SAMPLE2_PROPERTIES in{};
    std::memcpy(&in, pbProperties, cbProperties);
    if (in.cbData > sizeof(in))
        return E_INVALIDARG;
    const size_t cb = std::min<size_t>(cbProperties, in.cbData);
    const auto has = [cb](size_t offset, size_t size) { return offset + size <= cb; };
#define VMX_HAS(field) has(offsetof(AM_SAMPLE2_PROPERTIES, field), sizeof(in.field))

    // Check everything first: a refused record changes nothing.
    if (VMX_HAS(dwSampleFlags)) {
        if (in.dwSampleFlags & ~kKnownSampleFlags)
            return E_INVALIDARG;
        // A time cannot become valid without being given.
        if ((in.dwSampleFlags & AM_SAMPLE_TIMEVALID) && !(m_dwFlags & AM_SAMPLE_TIMEVALID) &&
            !VMX_HAS(tStart))
            return E_INVALIDARG;
        if ((in.dwSampleFlags & AM_SAMPLE_STOPVALID) && !(m_dwFlags & AM_SAMPLE_STOPVALID) &&
            !VMX_HAS(tStop))
            return E_INVALIDARG;
    }
    if (VMX_HAS(pbBuffer) && in.pbBuffer && in.pbBuffer != m_pBuffer)
        return E_INVALIDARG;
    if (VMX_HAS(cbBuffer) && in.cbBuffer != 0 && in.cbBuffer != m_cbBuffer)
        return E_INVALIDARG;
    if (VMX_HAS(lActual) && (in.lActual < 0 || in.lActual > m_cbBuffer))
        return E_INVALIDARG;
    std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter> pNewType;
    if (VMX_HAS(pMediaType) && VMX_HAS(dwSampleFlags) &&
        (in.dwSampleFlags & AM_SAMPLE_TYPECHANGED)) {
        if (!in.pMediaType)
            return E_POINTER;
        pNewType.reset(CreateMediaType(in.pMediaType));
        if (!pNewType)
            return E_OUTOFMEMORY;
    }

    if (VMX_HAS(dwTypeSpecificFlags))
        m_dwTypeSpecificFlags = in.dwTypeSpecificFlags;
    if (VMX_HAS(dwSampleFlags))
        m_dwFlags = in.dwSampleFlags;
    if (VMX_HAS(lActual))
        m_lActual = in.lActual;
    if (VMX_HAS(tStart))
        m_tStart = in.tStart;
    if (VMX_HAS(tStop))
        m_tStop = in.tStop;
    if (VMX_HAS(dwStreamId))
        m_dwStreamId = in.dwStreamId;
    if (pNewType)
        m_pMediaType = std::move(pNewType);
#undef VMX_HAS
    // The flag says whether the sample carries a type, whatever the record claimed.
    SetFlag(m_dwFlags, AM_SAMPLE_TYPECHANGED, m_pMediaType != nullptr);
    return S_OK;
}

// ---- CMemAllocator -------------------------------------------------------------------------

CMemAllocator::CMemAllocator() noexcept : CUnknown("CMemAllocator", nullptr) {}

CMemAllocator::~CMemAllocator() {
    // Samples out hold a reference: by now every one is home.
    FreeBuffers();
}

HRESULT CMemAllocator::Create(IMemAllocator** ppAlloc) noexcept {
    if (!ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    CMemAllocator* p = new (std::nothrow) CMemAllocator();
    if (!p)
        return E_OUTOFMEMORY;
    p->NonDelegatingAddRef();
    *ppAlloc = p;
    return S_OK;
}

HRESULT CreateMemoryAllocator(IMemAllocator** ppAlloc) noexcept {
    return CMemAllocator::Create(ppAlloc);
}

STDMETHODIMP CMemAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IMemAllocator))
        return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest,
                                          ALLOCATOR_PROPERTIES* pActual) {
    if (!pRequest || !pActual)
        return E_POINTER;
    const ALLOCATOR_PROPERTIES req = *pRequest; // pActual may be the same record
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bCommitted)
        return VFW_E_ALREADY_COMMITTED;
    if (AnyOut())
        return VFW_E_BUFFERS_OUTSTANDING;
    if (req.cbAlign <= 0 || req.cbAlign > kMaxAlign || (req.cbAlign & (req.cbAlign - 1)) != 0)
        return VFW_E_BADALIGN;
    if (req.cBuffers < 0 || req.cbBuffer < 0 || req.cbPrefix < 0)
        return E_INVALIDARG;
    // The prefix counts in the alignment: prefix + buffer is a whole number of units.
    long long span = static_cast<long long>(req.cbBuffer) + req.cbPrefix;
    span = (span + req.cbAlign - 1) / req.cbAlign * req.cbAlign;
    if (span > std::numeric_limits<LONG>::max())
        return E_INVALIDARG;
    m_Props.cBuffers = req.cBuffers;
    m_Props.cbBuffer = static_cast<LONG>(span - req.cbPrefix);
    m_Props.cbAlign = req.cbAlign;
    m_Props.cbPrefix = req.cbPrefix;
    *pActual = m_Props;
    return S_OK;
}

STDMETHODIMP CMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps) {
    if (!pProps)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *pProps = m_Props;
    return S_OK;
}

HRESULT CMemAllocator::Alloc() {
    const size_t stride =
        static_cast<size_t>(m_Props.cbBuffer) + static_cast<size_t>(m_Props.cbPrefix);
    const size_t count = static_cast<size_t>(m_Props.cBuffers);
    if (stride > static_cast<size_t>(PTRDIFF_MAX) / count)
        return E_OUTOFMEMORY;
    // Each prefix starts on the alignment (stride is a multiple of it).
    const size_t align =
        std::max<size_t>(static_cast<size_t>(m_Props.cbAlign), alignof(std::max_align_t));
    void* pMemory = nullptr;
    if (posix_memalign(&pMemory, align, stride * count) != 0)
        return E_OUTOFMEMORY;
    m_pMemory.reset(static_cast<BYTE*>(pMemory));
    try {
        m_Samples.reserve(count);
        m_Free.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            BYTE* pBuffer = m_pMemory.get() + i * stride + static_cast<size_t>(m_Props.cbPrefix);
            m_Samples.push_back(std::make_unique<CMediaSample>(this, pBuffer, m_Props.cbBuffer));
            m_Free.push_back(m_Samples.back().get());
        }
    } catch (const std::bad_alloc&) {
        FreeBuffers();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CMemAllocator::FreeBuffers() noexcept {
    m_Free.clear();
    m_Samples.clear();
    m_pMemory.reset();
}

STDMETHODIMP CMemAllocator::Commit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bCommitted)
        return S_OK;
    if (m_bDecommitPending) {
        // The buffers were never freed: take them up again.
        m_bDecommitPending = false;
        m_bCommitted = true;
        return S_OK;
    }
    if (m_Props.cBuffers <= 0 || m_Props.cbBuffer <= 0)
        return VFW_E_SIZENOTSET;
    const HRESULT hr = Alloc();
    if (FAILED(hr))
        return hr;
    m_bCommitted = true;
    return S_OK;
}

STDMETHODIMP CMemAllocator::Decommit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bCommitted)
            return S_OK;
        m_bCommitted = false;
        if (AnyOut())
            m_bDecommitPending = true;
        else
            FreeBuffers();
    }
    m_cvFree.notify_all();
    return S_OK;
}

STDMETHODIMP CMemAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME*, REFERENCE_TIME*,
                                      DWORD dwFlags) {
    if (!ppBuffer)
        return E_POINTER;
    *ppBuffer = nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!m_bCommitted)
            return VFW_E_NOT_COMMITTED;
        if (!m_Free.empty())
            break;
        if (dwFlags & AM_GBF_NOWAIT)
            return VFW_E_TIMEOUT;
        m_cvFree.wait(lock);
    }
    CMediaSample* pSample = m_Free.back();
    m_Free.pop_back();
    pSample->m_bOut = true;
    pSample->m_cRef = 1;
    NonDelegatingAddRef(); // dropped when the sample comes back
    *ppBuffer = pSample;
    return S_OK;
}

STDMETHODIMP CMemAllocator::ReleaseBuffer(IMediaSample* pBuffer) {
    if (!pBuffer)
        return E_POINTER;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = std::find_if(m_Samples.begin(), m_Samples.end(), [pBuffer](const auto& p) {
            return static_cast<IMediaSample*>(p.get()) == pBuffer;
        });
        if (it == m_Samples.end())
            return E_INVALIDARG;
        CMediaSample* pSample = it->get();
        if (!pSample->m_bOut || pSample->m_cRef.load() != 0)
            return E_INVALIDARG;
        pSample->Reset();
        pSample->m_bOut = false;
        m_Free.push_back(pSample);
        if (m_bDecommitPending && !AnyOut()) {
            m_bDecommitPending = false;
            FreeBuffers();
        }
    }
    m_cvFree.notify_one();
    NonDelegatingRelease(); // the sample's hold on us; may be the last
    return S_OK;
}
