#include "posix/PushSource.h"

#include "MediaTime.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

constexpr DWORD kSeekCaps =
    AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards;
constexpr DWORD kPositionCaps =
    AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;

bool IsMediaTimeOrCurrent(const GUID* pFormat) {
    return !pFormat || IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME);
}

} // namespace

// ---- CPcmProvider --------------------------------------------------------------------------

CPcmProvider::CPcmProvider(const WAVEFORMATEX& wfx, std::vector<BYTE> data, LONG cbMaxChunk)
    : m_nSamplesPerSec(wfx.nSamplesPerSec), m_cbFrame(wfx.nBlockAlign), m_Data(std::move(data)),
      m_cbMaxChunk(std::max<LONG>(cbMaxChunk, 0)),
      m_cFrames(m_cbFrame > 0 ? static_cast<LONGLONG>(m_Data.size()) / m_cbFrame : 0),
      m_EndFrame(m_cFrames) {}

REFERENCE_TIME CPcmProvider::FrameTime(LONGLONG n, DWORD nSamplesPerSec) noexcept {
    return FramesToTime(n, nSamplesPerSec);
}

LONGLONG CPcmProvider::FrameAt(REFERENCE_TIME t, bool bRoundUp) const noexcept {
    const LONGLONG rate = m_nSamplesPerSec;
    const LONGLONG whole = (t / kUnitsPerSecond) * rate;
    const LONGLONG part = (t % kUnitsPerSecond) * rate;
    LONGLONG frame = whole + part / kUnitsPerSecond;
    if (bRoundUp && part % kUnitsPerSecond != 0)
        ++frame;
    return std::min(frame, m_cFrames);
}

REFERENCE_TIME CPcmProvider::Duration() const noexcept {
    return FrameTime(m_cFrames, m_nSamplesPerSec);
}

HRESULT CPcmProvider::SeekTo(REFERENCE_TIME tStart, REFERENCE_TIME tStop) {
    if (tStart < 0 || tStop < tStart)
        return E_INVALIDARG;
    if (m_cbFrame <= 0 || m_nSamplesPerSec == 0)
        return E_UNEXPECTED;
    m_SegmentFrame = m_NextFrame = FrameAt(tStart, false);
    m_EndFrame = std::max(FrameAt(tStop, true), m_NextFrame);
    m_bDiscontinuity = true;
    return S_OK;
}

HRESULT CPcmProvider::FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) {
    if (!pBuffer || !pChunk)
        return E_POINTER;
    if (m_cbFrame <= 0 || m_nSamplesPerSec == 0)
        return E_UNEXPECTED; // constructed with a format that has no frames
    if (m_NextFrame >= m_EndFrame)
        return S_FALSE;
    const LONG cbRoom = m_cbMaxChunk > 0 ? std::min(cbBuffer, m_cbMaxChunk) : cbBuffer;
    const LONGLONG cFrames = std::min<LONGLONG>(cbRoom / m_cbFrame, m_EndFrame - m_NextFrame);
    if (cFrames <= 0)
        return E_INVALIDARG; // a buffer smaller than one frame
    const LONG cbData = static_cast<LONG>(cFrames * m_cbFrame);
    std::memcpy(pBuffer, m_Data.data() + m_NextFrame * m_cbFrame, static_cast<size_t>(cbData));

    *pChunk = SourceChunk{};
    pChunk->cbData = cbData;
    pChunk->bTimeValid = true;
    pChunk->tStart = FrameTime(m_NextFrame - m_SegmentFrame, m_nSamplesPerSec);
    pChunk->tStop = FrameTime(m_NextFrame + cFrames - m_SegmentFrame, m_nSamplesPerSec);
    pChunk->bMediaTimeValid = true;
    pChunk->mtStart = m_NextFrame;
    pChunk->mtStop = m_NextFrame + cFrames;
    pChunk->bSyncPoint = true;
    pChunk->bDiscontinuity = m_bDiscontinuity;
    m_bDiscontinuity = false;
    m_NextFrame += cFrames;
    return S_OK;
}

// ---- the output pin ------------------------------------------------------------------------

class CPushSource::COutputPin final : public CBaseOutputPin, public IMediaSeeking {
public:
    COutputPin(CPushSource* pFilter, HRESULT* phr, const CMediaType& mt,
               std::unique_ptr<CSampleProvider> pProvider, const Options& options) noexcept
        : CBaseOutputPin("CPushSource::COutputPin", pFilter, &pFilter->m_csFilter, phr, L"Out"),
          m_Type(mt), m_pProvider(std::move(pProvider)), m_Options(options) {
        if (phr && SUCCEEDED(*phr) && !m_Type.IsValid())
            *phr = E_OUTOFMEMORY; // the copy of the type failed
        m_tStop = m_pProvider->Duration();
    }

    ~COutputPin() override { StopThread(); }

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IMediaSeeking))
            return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
        return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
    }

    // ---- connection ----
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return *pmt == m_Type ? S_OK : S_FALSE;
    }

    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override {
        return GetSingleMediaType(m_Type, iPosition, pMediaType);
    }

    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override {
        ALLOCATOR_PROPERTIES req{};
        req.cBuffers = std::max(m_Options.cBuffers, pProp->cBuffers);
        req.cbBuffer = std::max(m_Options.cbBuffer, pProp->cbBuffer);
        req.cbAlign = std::max(m_Options.cbAlign, pProp->cbAlign);
        req.cbPrefix = std::max(m_Options.cbPrefix, pProp->cbPrefix);
        ALLOCATOR_PROPERTIES actual{};
        const HRESULT hr = pAlloc->SetProperties(&req, &actual);
        if (FAILED(hr))
            return hr;
        return (actual.cBuffers >= req.cBuffers && actual.cbBuffer >= req.cbBuffer) ? S_OK : E_FAIL;
    }

    // ---- streaming (under the filter lock) ----
    HRESULT Active() override {
        HRESULT hr = CBaseOutputPin::Active();
        if (FAILED(hr))
            return hr;
        hr = StartThread();
        if (FAILED(hr)) {
            CBaseOutputPin::Inactive();
            return hr;
        }
        m_bActive = true;
        return S_OK;
    }

    HRESULT Inactive() override {
        m_bActive = false;
        StopThread();
        return CBaseOutputPin::Inactive();
    }

    // ---- IMediaSeeking ----
    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override {
        if (!pCapabilities)
            return E_POINTER;
        *pCapabilities = Capabilities();
        return S_OK;
    }
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override {
        if (!pCapabilities)
            return E_POINTER;
        const DWORD wanted = *pCapabilities;
        *pCapabilities &= Capabilities();
        if (*pCapabilities == wanted)
            return S_OK;
        return *pCapabilities ? S_FALSE : E_FAIL;
    }
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override {
        if (!pFormat)
            return E_POINTER;
        return IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME) ? S_OK : S_FALSE;
    }
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override { return GetTimeFormat(pFormat); }
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override {
        if (!pFormat)
            return E_POINTER;
        *pFormat = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override {
        return IsFormatSupported(pFormat);
    }
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override {
        if (!pFormat)
            return E_POINTER;
        return IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME) ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override {
        if (!pDuration)
            return E_POINTER;
        *pDuration = m_pProvider->Duration();
        return S_OK;
    }
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override {
        if (!pStop)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_posMutex);
        *pStop = m_tStop;
        return S_OK;
    }
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override {
        if (!pCurrent)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_posMutex);
        *pCurrent = SaturatingAdd(m_tStart, m_tDelivered);
        return S_OK;
    }
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                   const GUID* pSourceFormat) override {
        if (!pTarget)
            return E_POINTER;
        if (!IsMediaTimeOrCurrent(pTargetFormat) || !IsMediaTimeOrCurrent(pSourceFormat))
            return E_INVALIDARG;
        *pTarget = Source;
        return S_OK;
    }
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override {
        if (!pCurrent && !pStop)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_posMutex);
        if (pCurrent)
            *pCurrent = SaturatingAdd(m_tStart, m_tDelivered);
        if (pStop)
            *pStop = m_tStop;
        return S_OK;
    }
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override {
        if (!pEarliest && !pLatest)
            return E_POINTER;
        if (pEarliest)
            *pEarliest = 0;
        if (pLatest)
            *pLatest = m_pProvider->Duration();
        return S_OK;
    }
    STDMETHODIMP SetRate(double dRate) override {
        if (!(dRate > 0.0))
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_posMutex);
        m_dRate = dRate;
        return S_OK;
    }
    STDMETHODIMP GetRate(double* pdRate) override {
        if (!pdRate)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_posMutex);
        *pdRate = m_dRate;
        return S_OK;
    }
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override {
        if (!pllPreroll)
            return E_POINTER;
        *pllPreroll = 0;
        return S_OK;
    }

private:
    DWORD Capabilities() const { return kPositionCaps | (m_pProvider->CanSeek() ? kSeekCaps : 0); }

    HRESULT StartThread();
    void StopThread() noexcept;
    void StreamLoop() noexcept;
    HRESULT Fill(IMediaSample* pSample, SourceChunk* pChunk) noexcept;

    const CMediaType m_Type;
    const std::unique_ptr<CSampleProvider> m_pProvider;
    const Options m_Options;

    // Under the filter lock.
    std::thread m_thread;
    bool m_bActive = false;
    std::atomic<bool> m_bStopRequested{false};

    std::mutex m_posMutex;
    REFERENCE_TIME m_tStart = 0;     // segment start
    REFERENCE_TIME m_tStop = 0;      // segment stop
    REFERENCE_TIME m_tDelivered = 0; // stream time delivered in the segment
    double m_dRate = 1.0;
};

HRESULT CPushSource::COutputPin::StartThread() {
    m_bStopRequested = false;
    try {
        m_thread = std::thread(&COutputPin::StreamLoop, this);
    } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CPushSource::COutputPin::StopThread() noexcept {
    if (!m_thread.joinable())
        return;
    m_bStopRequested = true;
    if (m_pAllocator)
        m_pAllocator->Decommit(); // wakes a thread waiting for a buffer
    m_thread.join();
}

HRESULT CPushSource::COutputPin::Fill(IMediaSample* pSample, SourceChunk* pChunk) noexcept {
    BYTE* pBuffer = nullptr;
    HRESULT hr = pSample->GetPointer(&pBuffer);
    if (FAILED(hr))
        return hr;
    const LONG cbBuffer = pSample->GetSize();
    try {
        hr = m_pProvider->FillBuffer(pBuffer, cbBuffer, pChunk);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    if (hr != S_OK)
        return hr;
    if (pChunk->cbData < 0 || pChunk->cbData > cbBuffer)
        return VFW_E_BUFFER_OVERFLOW;
    pSample->SetActualDataLength(pChunk->cbData);
    if (pChunk->bTimeValid)
        pSample->SetTime(&pChunk->tStart, pChunk->bStopValid ? &pChunk->tStop : nullptr);
    if (pChunk->bMediaTimeValid)
        pSample->SetMediaTime(&pChunk->mtStart, &pChunk->mtStop);
    pSample->SetSyncPoint(pChunk->bSyncPoint);
    pSample->SetDiscontinuity(pChunk->bDiscontinuity);
    pSample->SetPreroll(pChunk->bPreroll);
    if (pChunk->pNewType)
        return pSample->SetMediaType(const_cast<AM_MEDIA_TYPE*>(pChunk->pNewType));
    return S_OK;
}

void CPushSource::COutputPin::StreamLoop() noexcept {
    REFERENCE_TIME tStart = 0, tStop = 0;
    double dRate = 1.0;
    {
        std::lock_guard<std::mutex> lock(m_posMutex);
        tStart = m_tStart;
        tStop = m_tStop;
        dRate = m_dRate;
    }
    DeliverNewSegment(tStart, tStop, dRate);
    while (!m_bStopRequested) {
        ComPtr<IMediaSample> pSample;
        if (FAILED(GetDeliveryBuffer(&pSample, nullptr, nullptr, 0)))
            return; // decommitted: we are being stopped
        SourceChunk chunk;
        const HRESULT hr = Fill(pSample.Get(), &chunk);
        if (m_bStopRequested)
            return;
        if (hr != S_OK) {
            pSample.Reset();
            // The graph hears of a failure before downstream can complete.
            if (FAILED(hr))
                m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
            DeliverEndOfStream();
            return;
        }
        if (Deliver(pSample.Get()) != S_OK)
            return; // downstream wants no more: flushing, stopping or failed
        if (chunk.bTimeValid) {
            std::lock_guard<std::mutex> lock(m_posMutex);
            m_tDelivered = chunk.tStop;
        }
    }
}

STDMETHODIMP CPushSource::COutputPin::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags,
                                                   LONGLONG* pStop, DWORD dwStopFlags) {
    const DWORD curMode = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD stopMode = dwStopFlags & AM_SEEKING_PositioningBitsMask;
    if ((curMode && !pCurrent) || (stopMode && !pStop))
        return E_POINTER;
    if (curMode == AM_SEEKING_IncrementalPositioning)
        return E_INVALIDARG;
    if (!curMode && !stopMode)
        return S_OK;
    if (!m_pProvider->CanSeek())
        return E_NOTIMPL;

    CAutoLock lock(m_pLock);
    REFERENCE_TIME tCurrent = 0, tStop = 0;
    {
        std::lock_guard<std::mutex> posLock(m_posMutex);
        tCurrent = SaturatingAdd(m_tStart, m_tDelivered);
        tStop = m_tStop;
    }
    // A step that leaves the range of times names no position: refused like a negative start.
    REFERENCE_TIME tNewStart = tCurrent;
    if (curMode == AM_SEEKING_AbsolutePositioning)
        tNewStart = *pCurrent;
    else if (curMode == AM_SEEKING_RelativePositioning &&
             __builtin_add_overflow(tCurrent, *pCurrent, &tNewStart))
        return E_INVALIDARG;
    REFERENCE_TIME tNewStop = tStop;
    if (stopMode == AM_SEEKING_AbsolutePositioning)
        tNewStop = *pStop;
    else if ((stopMode == AM_SEEKING_RelativePositioning &&
              __builtin_add_overflow(tStop, *pStop, &tNewStop)) ||
             (stopMode == AM_SEEKING_IncrementalPositioning &&
              __builtin_add_overflow(tNewStart, *pStop, &tNewStop)))
        return E_INVALIDARG;
    if (tNewStart < 0)
        return E_INVALIDARG;
    if (tNewStop < tNewStart)
        return VFW_E_START_TIME_AFTER_END;

    const bool bRestart = m_bActive && IsConnected();
    if (bRestart) {
        DeliverBeginFlush(); // unblocks a thread waiting downstream
        StopThread();
    }
    HRESULT hr = S_OK;
    try {
        hr = m_pProvider->SeekTo(tNewStart, tNewStop);
    } catch (...) {
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> posLock(m_posMutex);
        m_tStart = tNewStart;
        m_tStop = tNewStop;
        m_tDelivered = 0;
    }
    if (bRestart) {
        DeliverEndFlush();
        HRESULT hrRestart = m_pAllocator ? m_pAllocator->Commit() : VFW_E_NO_ALLOCATOR;
        if (SUCCEEDED(hrRestart))
            hrRestart = StartThread();
        if (SUCCEEDED(hr))
            hr = hrRestart;
    }
    if (FAILED(hr))
        return hr;
    if ((dwCurrentFlags & AM_SEEKING_ReturnTime) && pCurrent)
        *pCurrent = tNewStart;
    if ((dwStopFlags & AM_SEEKING_ReturnTime) && pStop)
        *pStop = tNewStop;
    return S_OK;
}

// ---- the filter ----------------------------------------------------------------------------

CPushSource::CPushSource() noexcept : CBaseFilter("CPushSource", nullptr, &m_csFilter, GUID_NULL) {}

CPushSource::~CPushSource() = default;

HRESULT CPushSource::Create(const CMediaType& mt, std::unique_ptr<CSampleProvider> pProvider,
                            const Options& options, CPushSource** ppSource) noexcept {
    if (!ppSource)
        return E_POINTER;
    *ppSource = nullptr;
    if (!pProvider)
        return E_POINTER;
    if (!mt.IsValid())
        return E_INVALIDARG;
    CPushSource* pSource = new (std::nothrow) CPushSource();
    if (!pSource)
        return E_OUTOFMEMORY;
    pSource->NonDelegatingAddRef();
    HRESULT hr = S_OK;
    try {
        pSource->m_pPin =
            std::make_unique<COutputPin>(pSource, &hr, mt, std::move(pProvider), options);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        pSource->NonDelegatingRelease();
        return hr;
    }
    *ppSource = pSource;
    return S_OK;
}

STDMETHODIMP CPushSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IAMFilterMiscFlags))
        return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CPushSource::GetPin(int n) {
    return n == 0 ? m_pPin.get() : nullptr;
}

IPin* CPushSource::OutputPin() noexcept {
    return m_pPin.get();
}
