#include "CopyTransformFilter.h"

#include "DiagnosticLog.h"
#include "MediaTime.h"
#include "control/SettingsPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

CUnknown* CCopyTransformFilter::CreateInstance(IUnknown* pUnkOuter, HRESULT* phr) {
    auto* pFilter = new (std::nothrow) CCopyTransformFilter(pUnkOuter, phr);
    if (!pFilter && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

CCopyTransformFilter::CCopyTransformFilter(IUnknown* pUnk, HRESULT* phr)
    : CTransformFilter(nullptr, pUnk, CLSID_Velomix), m_strIniPath(SettingsFilePath()),
      m_Init(ReadInitSettings(m_strIniPath)) {
    m_bRestamp = m_Init.bRestamp;
    if (phr && FAILED(*phr))
        return;
    const HRESULT hr = CreatePins();
    if (FAILED(hr)) {
        if (phr)
            *phr = hr;
        return;
    }
    // Last: from here on the server's thread may call the IVelomixProp methods, which need a
    // whole filter.
    if (!m_CommServer.Start(static_cast<IVelomixProp*>(this)))
        LogMessage(LogLevel::Warning, "no control channel; this filter runs without it");
}

// Output pin "Out" first, input pin "In" second, as hosts enumerate them.
HRESULT CCopyTransformFilter::CreatePins() {
    CAutoLock lock(&m_csFilter);
    HRESULT hr = S_OK;
    m_pOutput.reset(new (std::nothrow) CCopyTransformOutputPin(this, &hr));
    if (!m_pOutput)
        return E_OUTOFMEMORY;
    if (FAILED(hr))
        return hr;
    m_pInput.reset(new (std::nothrow) CCopyTransformInputPin(this, &hr));
    if (!m_pInput)
        return E_OUTOFMEMORY;
    return hr;
}

CCopyTransformFilter::~CCopyTransformFilter() {
    // No setter may arrive from the control server once teardown begins.
    m_CommServer.Stop();
    m_Processor.Free();
}

STDMETHODIMP CCopyTransformFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IVelomixProp))
        return GetInterface(static_cast<IVelomixProp*>(this), ppv);
    if (IsEqualIID(riid, IID_ISpecifyPropertyPages))
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

// ---- connection ------------------------------------------------------------------------------

HRESULT CCopyTransformFilter::CheckInputType(const CMediaType* mtIn) {
    if (!mtIn)
        return E_POINTER;
    const HRESULT hr = ParseAudioFormat(*mtIn, nullptr);
    if (hr == E_INVALIDARG)
        LogMessage(LogLevel::Info,
                   "refused: an audio type of a layout, rate or width it cannot take");
    if (FAILED(hr))
        return hr;
    if (m_bDuplicateUpstream) {
        LogMessage(LogLevel::Info, "refused: an instance of this filter is already upstream");
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT CCopyTransformFilter::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) {
    if (!mtIn || !mtOut)
        return E_POINTER;
    return *mtIn == *mtOut ? S_OK : E_FAIL;
}

HRESULT CCopyTransformFilter::GetMediaType(int iPosition, CMediaType* pMediaType) {
    if (!m_pInput->IsConnected())
        return E_UNEXPECTED;
    return GetSingleMediaType(m_pInput->CurrentMediaType(), iPosition, pMediaType);
}

HRESULT CCopyTransformFilter::DecideBufferSize(IMemAllocator* pAllocator,
                                               ALLOCATOR_PROPERTIES* pProp) {
    if (!m_pInput->IsConnected())
        return E_UNEXPECTED;
    if (!pAllocator || !pProp)
        return E_POINTER;

    ComPtr<IMemAllocator> pInAlloc;
    HRESULT hr = m_pInput->GetAllocator(&pInAlloc);
    if (FAILED(hr))
        return hr;
    ALLOCATOR_PROPERTIES inProps{};
    hr = pInAlloc->GetProperties(&inProps);
    pInAlloc.Reset();
    if (FAILED(hr))
        return hr;

    pProp->cBuffers = std::max<LONG>(inProps.cBuffers, 1);
    pProp->cbBuffer = inProps.cbBuffer;
    if (pProp->cbBuffer < 1)
        pProp->cbBuffer = static_cast<LONG>(m_pInput->CurrentMediaType().GetSampleSize());

    ALLOCATOR_PROPERTIES actual{};
    hr = pAllocator->SetProperties(pProp, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < pProp->cBuffers || actual.cbBuffer < pProp->cbBuffer ||
        actual.cbAlign < pProp->cbAlign)
        return E_FAIL;
    return S_OK;
}

ComPtr<IBaseFilter> CCopyTransformFilter::FindUpstreamFilter(IBaseFilter* pFilter,
                                                             PIN_DIRECTION dir) {
    ComPtr<IEnumPins> pEnum;
    if (FAILED(pFilter->EnumPins(&pEnum)) || !pEnum)
        return {};
    for (;;) {
        ComPtr<IPin> pPin;
        ULONG fetched = 0;
        if (pEnum->Next(1, &pPin, &fetched) != S_OK || fetched != 1)
            return {};
        PIN_DIRECTION pinDir{};
        if (FAILED(pPin->QueryDirection(&pinDir)))
            return {};
        if (pinDir != dir)
            continue;
        ComPtr<IPin> pConnected;
        if (FAILED(pPin->ConnectedTo(&pConnected)) || !pConnected)
            return {};
        PIN_INFO peer{};
        if (FAILED(pConnected->QueryPinInfo(&peer)))
            return {};
        return ComPtr<IBaseFilter>::Attach(peer.pFilter);
    }
}

// The duplicate-instance guard. A second instance downstream of the first would apply the speed
// twice, and a graph builder that finds the filter by its merit would chain instances without
// end. The refusal sticks until this filter's output is disconnected: a builder that was refused
// tries the same object on its other routes, and those may join the first instance's stream
// further down where the walk upstream cannot see it; a disconnected output is where a builder
// takes the object out of its chain, and a fresh start is safe there.
HRESULT CCopyTransformFilter::CheckConnect(PIN_DIRECTION, IPin* pPin) {
    if (!pPin)
        return S_OK;
    PIN_INFO info{};
    if (FAILED(pPin->QueryPinInfo(&info)) || !info.pFilter)
        return S_OK;
    ComPtr<IBaseFilter> pCurrent = ComPtr<IBaseFilter>::Attach(info.pFilter);
    auto isOurClass = [](IBaseFilter* p) {
        CLSID clsid{};
        return SUCCEEDED(p->GetClassID(&clsid)) && IsEqualCLSID(clsid, CLSID_Velomix);
    };
    if (isOurClass(pCurrent.Get())) {
        m_bDuplicateUpstream = true;
        return S_OK;
    }
    // Follow the first input pin of each filter upstream. A graph never holds a cycle of
    // connections, but the walk is bounded all the same.
    for (int depth = 0; depth < 1024; ++depth) {
        ComPtr<IBaseFilter> pNext = FindUpstreamFilter(pCurrent.Get(), PINDIR_INPUT);
        if (!pNext)
            break;
        if (isOurClass(pNext.Get())) {
            m_bDuplicateUpstream = true;
            break;
        }
        pCurrent = std::move(pNext);
    }
    return S_OK;
}

HRESULT CCopyTransformFilter::BreakConnect(PIN_DIRECTION dir) {
    if (dir == PINDIR_OUTPUT)
        m_bDuplicateUpstream = false;
    return S_OK;
}

// ---- streaming -----------------------------------------------------------------------------

namespace {

// Output, in seconds of audio, past which one input is fed to the processor in slices.
constexpr int kSliceOutputSeconds = 5;

// S_OK -> true, S_FALSE -> false, anything else is an error.
bool ReadFlag(HRESULT hr, bool* pFlag) {
    if (hr == S_OK)
        *pFlag = true;
    else if (hr == S_FALSE)
        *pFlag = false;
    else
        return false;
    return true;
}

} // namespace

HRESULT CCopyTransformFilter::CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut,
                                                   const AM_MEDIA_TYPE* pmt) {
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (pIn->GetTime(&tStart, &tStop) == S_OK)
        pOut->SetTime(&tStart, &tStop);
    LONGLONG mtStart = 0, mtStop = 0;
    if (pIn->GetMediaTime(&mtStart, &mtStop) == S_OK)
        pOut->SetMediaTime(&mtStart, &mtStop);

    bool bFlag = false;
    if (!ReadFlag(pIn->IsSyncPoint(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetSyncPoint(bFlag ? TRUE : FALSE);

    const HRESULT hr = pOut->SetMediaType(const_cast<AM_MEDIA_TYPE*>(pmt));
    if (pmt && FAILED(hr))
        return hr;

    if (!ReadFlag(pIn->IsPreroll(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetPreroll(bFlag ? TRUE : FALSE);
    if (!ReadFlag(pIn->IsDiscontinuity(), &bFlag))
        return E_UNEXPECTED;
    pOut->SetDiscontinuity(bFlag ? TRUE : FALSE);
    return S_OK;
}

void CCopyTransformFilter::FollowStreamFormat(const AM_MEDIA_TYPE& mt) {
    m_bStreamFormatValid = SUCCEEDED(ParseAudioFormat(mt, &m_StreamFormat));
}

HRESULT CCopyTransformFilter::Transform(IMediaSample* pIn, IMediaSample* pOut) {
    if (!pIn || !pOut)
        return E_POINTER;
    MediaTypePtr pmt;
    AM_MEDIA_TYPE* pRawType = nullptr;
    if (pIn->GetMediaType(&pRawType) == S_OK && pRawType) {
        pmt.reset(pRawType);
        FollowStreamFormat(*pmt);
    }
    HRESULT hr = CopySampleProperties(pIn, pOut, pmt.get());
    if (FAILED(hr))
        return hr;

    BYTE* pSrc = nullptr;
    BYTE* pDst = nullptr;
    hr = pIn->GetPointer(&pSrc);
    if (FAILED(hr))
        return hr;
    hr = pOut->GetPointer(&pDst);
    if (FAILED(hr))
        return hr;

    // Never trust the lengths upstream reports beyond its own buffer, nor write past ours.
    const LONG cbIn =
        std::clamp<LONG>(pIn->GetActualDataLength(), 0, std::max<LONG>(pIn->GetSize(), 0));
    const LONG cbOutSize = std::max<LONG>(pOut->GetSize(), 0);

    // The stream's format: the connection type, or the type a sample last carried.
    if (!m_bStreamFormatValid)
        return VFW_E_INVALIDMEDIATYPE;
    hr = UpdateProcessorFormat(m_StreamFormat);
    if (FAILED(hr))
        return hr;
    hr = ApplySpeedChanges();
    if (FAILED(hr))
        return hr;

    REFERENCE_TIME tStart = 0, tStop = 0;
    if (pIn->GetTime(&tStart, &tStop) == S_OK) {
        m_rtTailStart = tStop;
        m_bTailTimeValid = true;
    }

    if (m_bRestamp)
        RestampAnchorAt(pIn);

    if (m_Processor.IsActive()) {
        if (!StartStretchInput(pIn, pSrc, cbIn, cbOutSize))
            return E_UNEXPECTED;
        hr = FeedGroup();
        if (FAILED(hr))
            return hr;
        hr = FillPlannedSample(pOut, pDst, cbOutSize);
        if (FAILED(hr))
            return hr;
        m_bStretchPending = true;
        if (m_bRestamp) {
            m_bFollowInput = false;
            if (!RestampSample(pOut))
                return S_FALSE;
        }
        return S_OK;
    }
    // Bypassed: the engine owes nothing.
    ResetTailLength();
    const LONG cbOut = std::min(cbIn, cbOutSize);
    if (cbOut > 0) // an empty sample may have no buffer at all
        std::memcpy(pDst, pSrc, static_cast<size_t>(cbOut));
    hr = pOut->SetActualDataLength(cbOut);
    if (FAILED(hr) || !m_bRestamp)
        return hr;
    if (m_bFollowInput && m_bAnchorValid && cbOut > 0 && RestampFollowInput(pIn, cbOut))
        return S_OK;
    m_bFollowInput = false;
    return RestampSample(pOut) ? S_OK : S_FALSE;
}

// ---- restamping ------------------------------------------------------------------------------

// The unit of an input's media times, told by how far they run over its audio: frames (this
// framework's sources), bytes, or 100 ns like the time stamps (Wine's parser). None when they
// are missing or match none of those.
CCopyTransformFilter::MediaUnit
CCopyTransformFilter::MediaUnitOf(IMediaSample* pIn, LONGLONG& mtStart, LONGLONG& mtStop) const {
    if (pIn->GetMediaTime(&mtStart, &mtStop) != S_OK)
        return MediaUnit::None;
    const LONG blockAlign = std::max<LONG>(m_StreamFormat.nBlockAlign, 1);
    const LONGLONG frames = std::max<LONG>(pIn->GetActualDataLength(), 0) / blockAlign;
    const LONGLONG span = mtStop - mtStart;
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (frames <= 0)
        return MediaUnit::None;
    if (span == frames)
        return MediaUnit::Frames;
    if (span == frames * blockAlign)
        return MediaUnit::Bytes;
    if (pIn->GetTime(&tStart, &tStop) == S_OK && span == tStop - tStart)
        return MediaUnit::Time;
    return MediaUnit::None;
}

// Frames of audio as a media time offset in the unit the input's media times use.
LONGLONG CCopyTransformFilter::MediaOffset(int64_t frames, DWORD nRate) const {
    switch (m_MediaUnit) {
    case MediaUnit::Bytes:
        return frames * std::max<LONG>(m_StreamFormat.nBlockAlign, 1);
    case MediaUnit::Time:
        return FramesToTime(frames, nRate);
    default:
        return frames;
    }
}

void CCopyTransformFilter::RestampAnchorAt(IMediaSample* pIn) {
    if (!m_bAnchorPending)
        return;
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (FAILED(pIn->GetTime(&tStart, &tStop)))
        return; // outputs stay unstamped until an input says where the stream is
    LONGLONG mtStart = 0, mtStop = 0;
    m_MediaUnit = MediaUnitOf(pIn, mtStart, mtStop);
    m_mtAnchor = mtStart;
    m_rtAnchor = tStart;
    m_llRestampFrames = 0;
    m_nRestampRate = m_StreamFormat.nSamplesPerSec;
    m_bAnchorValid = true;
    m_bAnchorPending = false;
    m_bFollowInput = true;
}

// Normal speed since the anchor: the output keeps the input's stamps (Transform copied them), and
// what comes next starts where this input stops. False for an input without a start time.
bool CCopyTransformFilter::RestampFollowInput(IMediaSample* pIn, LONG cbOut) {
    REFERENCE_TIME tStart = 0, tStop = 0;
    const HRESULT hr = pIn->GetTime(&tStart, &tStop);
    if (FAILED(hr))
        return false;
    const int64_t frames = cbOut / std::max<LONG>(m_StreamFormat.nBlockAlign, 1);
    m_rtAnchor = hr == S_OK ? tStop : tStart + FramesToTime(frames, m_StreamFormat.nSamplesPerSec);
    LONGLONG mtStart = 0, mtStop = 0;
    m_MediaUnit = MediaUnitOf(pIn, mtStart, mtStop);
    m_mtAnchor = mtStop;
    m_llRestampFrames = 0;
    m_nRestampRate = m_StreamFormat.nSamplesPerSec;
    return true;
}

// Stamps an output by its audio: it starts where the previous one stopped (at the anchor for the
// first) and lasts its whole frames at the stream's rate, from a running count so that no
// rounding adds up; its media times likewise, in the input's unit. The discontinuity flag of an
// output left out goes on the next one.
bool CCopyTransformFilter::RestampSample(IMediaSample* pOut) {
    const LONG cb = pOut->GetActualDataLength();
    if (cb <= 0) {
        m_bHeldDiscontinuity = m_bHeldDiscontinuity || pOut->IsDiscontinuity() == S_OK;
        return false;
    }
    if (m_bHeldDiscontinuity) {
        pOut->SetDiscontinuity(TRUE);
        m_bHeldDiscontinuity = false;
    }
    const DWORD nRate = m_StreamFormat.nSamplesPerSec;
    if (!m_bAnchorValid || nRate == 0) {
        pOut->SetTime(nullptr, nullptr);
        pOut->SetMediaTime(nullptr, nullptr);
        return true;
    }
    if (nRate != m_nRestampRate) {
        // A new rate mid-stream: what was delivered so far counts at the old one.
        if (m_nRestampRate != 0) {
            m_rtAnchor += FramesToTime(m_llRestampFrames, m_nRestampRate);
            m_mtAnchor += MediaOffset(m_llRestampFrames, m_nRestampRate);
        }
        m_llRestampFrames = 0;
        m_nRestampRate = nRate;
    }
    const int64_t first = m_llRestampFrames;
    m_llRestampFrames += cb / std::max<LONG>(m_StreamFormat.nBlockAlign, 1);
    REFERENCE_TIME tStart = m_rtAnchor + FramesToTime(first, nRate);
    REFERENCE_TIME tStop = m_rtAnchor + FramesToTime(m_llRestampFrames, nRate);
    pOut->SetTime(&tStart, &tStop);
    if (m_MediaUnit != MediaUnit::None) {
        LONGLONG mtStart = m_mtAnchor + MediaOffset(first, nRate);
        LONGLONG mtStop = m_mtAnchor + MediaOffset(m_llRestampFrames, nRate);
        pOut->SetMediaTime(&mtStart, &mtStop);
    } else {
        pOut->SetMediaTime(nullptr, nullptr);
    }
    return true;
}

HRESULT CCopyTransformFilter::StartStreaming() {
    // Called under the streaming lock as the filter leaves Stopped.
    m_bAnchorPending = true;
    m_bAnchorValid = false;
    m_bHeldDiscontinuity = false;
    return CTransformFilter::StartStreaming();
}

HRESULT CCopyTransformFilter::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                         double dRate) {
    {
        // Samples of the new segment are stamped from its first input on.
        CAutoLock lock(&m_csReceive);
        m_bAnchorPending = true;
        m_bAnchorValid = false;
    }
    return CTransformFilter::NewSegment(tStart, tStop, dRate);
}

HRESULT CCopyTransformFilter::Receive(IMediaSample* pSample) {
    m_bStretchPending = false;
    HRESULT hr = CTransformFilter::Receive(pSample);
    if (m_bStretchPending && hr == S_OK)
        hr = DeliverRestOfInput();
    // Whatever was not delivered stays in the ring; the input's buffer is upstream's again.
    m_bStretchPending = false;
    m_Stretch.pData = nullptr;
    return hr;
}

bool CCopyTransformFilter::StartStretchInput(IMediaSample* pIn, const BYTE* pData, LONG cbData,
                                             LONG cbOutBuffer) {
    StretchInput& s = m_Stretch;
    s = StretchInput{};
    s.pData = pData;
    s.cbData = cbData;
    s.cbOutBuffer = cbOutBuffer;
    s.dRatio = m_Processor.OutputPerInputRatio();
    const LONG blockAlign = m_Processor.BlockAlign();
    if (blockAlign <= 0)
        return false;
    // An input whose output would be longer than a few seconds (or four buffers) is fed in
    // slices, so that the ring stays small and never reaches its bound, however long one input
    // is and however slow the tempo.
    const double sliceOutFrames =
        std::max(4.0 * std::max<LONG>(cbOutBuffer, blockAlign) / blockAlign,
                 double(kSliceOutputSeconds) * m_Processor.Format().nSamplesPerSec);
    const double sliceFrames = sliceOutFrames / s.dRatio;
    s.cbSlice = static_cast<LONG>(
                    std::clamp(sliceFrames, 1.0, double(std::max<LONG>(cbData / blockAlign, 1)))) *
                blockAlign;
    s.bTimeValid = pIn->GetTime(&s.tStart, &s.tStop) == S_OK;
    s.bMediaTimeValid = pIn->GetMediaTime(&s.mtStart, &s.mtStop) == S_OK;
    s.bSyncPoint = pIn->IsSyncPoint() == S_OK;
    s.bPreroll = pIn->IsPreroll() == S_OK;
    return true;
}

// Feeds slices until the ring holds more than one output buffer or the input is used up, then
// plans the group's outputs: whole buffers while more than one buffer is held, and the final
// group of an input at least one sample (possibly short or empty) so that its outputs end at
// the input's stop.
HRESULT CCopyTransformFilter::FeedGroup() {
    StretchInput& s = m_Stretch;
    const LONG blockAlign = m_Processor.BlockAlign();
    s.cbGroupFrom = s.cbGroupTo;
    while (s.cbFed < s.cbData) {
        // The last slice carries a trailing partial frame, which the processor ignores.
        const LONG cbRest = s.cbData - s.cbFed;
        const LONG cbPiece = cbRest - std::min(s.cbSlice, cbRest) < blockAlign ? cbRest : s.cbSlice;
        const EngineResult result = m_Processor.ProcessInput(s.pData + s.cbFed, cbPiece);
        if (result != EngineResult::Ok && result != EngineResult::NoOutput)
            return StreamError(result, "the engine took no input");
        m_dExpectedFrames +=
            static_cast<double>(cbPiece / std::max<LONG>(blockAlign, 1)) * s.dRatio;
        s.cbFed += cbPiece;
        if (s.cbOutBuffer > 0 && m_Processor.BufferedBytes() > s.cbOutBuffer)
            break;
    }
    s.cbGroupTo = s.cbFed;
    const LONG held = m_Processor.BufferedBytes();
    const LONG b = s.cbOutBuffer;
    s.cbPlanned =
        (b <= 0 || held <= b) ? std::min<LONG>(held, std::max<LONG>(b, 0)) : b * ((held - 1) / b);
    s.cbPlanDone = 0;
    s.bGroupOpen = true;
    return S_OK;
}

// Reads the group's next output (at most cbMax bytes) into a sample and stamps it with its share
// of the group's time span.
HRESULT CCopyTransformFilter::FillPlannedSample(IMediaSample* pOut, BYTE* pDst, LONG cbMax) {
    StretchInput& s = m_Stretch;
    const LONG want = std::clamp<LONG>(s.cbPlanned - s.cbPlanDone, 0, std::max<LONG>(cbMax, 0));
    const LONG n = want > 0 ? m_Processor.ReadOutput(pDst, want) : 0;
    m_llTakenBytes += n;
    // Position, in input bytes, of an output offset of the group.
    auto inputAt = [&s](LONG outOffset, bool bStop) -> double {
        if (s.cbPlanned <= 0)
            return bStop ? s.cbGroupTo : s.cbGroupFrom;
        return s.cbGroupFrom +
               (s.cbGroupTo - s.cbGroupFrom) * (double(outOffset) / double(s.cbPlanned));
    };
    // Exact at both ends of the input; in between, rounded to the nearest unit.
    auto timeAt = [&s](LONGLONG a, LONGLONG b, double inputPos) -> LONGLONG {
        if (s.cbData <= 0 || inputPos <= 0)
            return a;
        if (inputPos >= s.cbData)
            return b;
        return a + std::llround(double(b - a) * (inputPos / s.cbData));
    };
    const double from = inputAt(s.cbPlanDone, false);
    const double to = inputAt(s.cbPlanDone + n, true);
    s.cbPlanDone += n;
    s.bGroupOpen = s.cbPlanDone < s.cbPlanned;
    if (s.bTimeValid) {
        REFERENCE_TIME t0 = timeAt(s.tStart, s.tStop, from), t1 = timeAt(s.tStart, s.tStop, to);
        if (s.cbData <= 0)
            t1 = s.tStop;
        pOut->SetTime(&t0, &t1);
    }
    if (s.bMediaTimeValid) {
        LONGLONG m0 = timeAt(s.mtStart, s.mtStop, from), m1 = timeAt(s.mtStart, s.mtStop, to);
        if (s.cbData <= 0)
            m1 = s.mtStop;
        pOut->SetMediaTime(&m0, &m1);
    }
    return pOut->SetActualDataLength(n);
}

// After Transform's sample: the input's other outputs, each from the output allocator (waiting
// there is downstream's backpressure). Stops at the first failure, or when a flush or stop has
// begun; what was not delivered then stays in the ring.
HRESULT CCopyTransformFilter::DeliverRestOfInput() {
    StretchInput& s = m_Stretch;
    for (;;) {
        if (!s.bGroupOpen) {
            if (s.cbFed >= s.cbData)
                return S_OK;
            const HRESULT hr = FeedGroup();
            if (FAILED(hr))
                return hr;
        }
        if (m_pInput->IsFlushing() || IsStopped())
            return S_OK;
        IMediaSample* pRaw = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&pRaw, nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        ComPtr<IMediaSample> pOut = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* pDst = nullptr;
        hr = pOut->GetPointer(&pDst);
        if (FAILED(hr))
            return hr;
        const LONG cbSize = std::min<LONG>(std::max<LONG>(pOut->GetSize(), 0), s.cbOutBuffer);
        if (cbSize <= 0 && s.cbPlanned > s.cbPlanDone)
            return E_UNEXPECTED; // an allocator whose buffers hold nothing
        pOut->SetSyncPoint(s.bSyncPoint ? TRUE : FALSE);
        pOut->SetPreroll(s.bPreroll ? TRUE : FALSE);
        pOut->SetDiscontinuity(FALSE);
        if (!s.bTimeValid)
            pOut->SetTime(nullptr, nullptr);
        hr = FillPlannedSample(pOut.Get(), pDst, cbSize);
        if (FAILED(hr))
            return hr;
        if (m_bRestamp && !RestampSample(pOut.Get()))
            continue;
        hr = m_pOutput->Deliver(pOut.Get());
        if (hr != S_OK)
            return hr;
    }
}

HRESULT CCopyTransformFilter::UpdateProcessorFormat(const AudioFormat& fmt) {
    if (m_Processor.IsConfigured() && m_Processor.Format() == fmt)
        return S_OK;
    // Mono runs the anti-alias filter at 32 taps: the engine has a vector path for stereo only,
    // and on its plain path a longer filter costs its full length per sample. The length stays
    // for later streams of this object, as hosts have always seen it.
    if (fmt.nChannels == 1)
        m_Init.nHighEffectLen = CSpeedProcessor::kFallbackAntiAliasLength;
    const EngineOptions options{m_Init.bFast, m_Init.bHighEffect, m_Init.nHighEffectLen,
                                kDefaultStretchTuning};
    ResetTailLength();
    const EngineResult result = m_Processor.Configure(fmt, options);
    if (result != EngineResult::Ok)
        return StreamError(result, "the engine could not be set up for the stream's format");
    // A new processor starts at normal speed: give it the current values, latched or not.
    return ApplySpeedChanges(true);
}

HRESULT CCopyTransformFilter::StreamError(EngineResult result, const char* what) {
    const HRESULT hr = result == EngineResult::Refused ? E_UNEXPECTED : VFW_E_RUNTIME_ERROR;
    LogMessage(LogLevel::Error, "%s (0x%08lx); the stream stops", what,
               static_cast<unsigned long>(hr));
    // As the platform's filters do: the graph hears of it, and the input refuses what follows
    // until the next stop or flush.
    NotifyEvent(EC_ERRORABORT, hr, 0);
    m_pInput->SetRunTimeError();
    return hr;
}

void CCopyTransformFilter::ResetTailLength() {
    m_dExpectedFrames = 0;
    m_llTakenBytes = 0;
}

HRESULT CCopyTransformFilter::DeliverTail() {
    HRESULT hr = S_OK;
    const int32_t blockAlign = m_Processor.BlockAlign();
    int64_t owed = m_Processor.IsActive() && blockAlign > 0
                       ? std::llround(m_dExpectedFrames) * blockAlign - m_llTakenBytes
                       : 0;
    const LONG nAvgBytesPerSec = m_StreamFormat.nBlockAlign * m_StreamFormat.nSamplesPerSec;
    while (owed > 0) {
        REFERENCE_TIME tStart = m_rtTailStart;
        IMediaSample* pRaw = nullptr;
        hr = m_pOutput->GetDeliveryBuffer(&pRaw, m_bTailTimeValid ? &tStart : nullptr, nullptr, 0);
        if (FAILED(hr))
            break;
        ComPtr<IMediaSample> pOut = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* pDst = nullptr;
        hr = pOut->GetPointer(&pDst);
        if (FAILED(hr))
            break;
        const LONG cbMax =
            static_cast<LONG>(std::min<int64_t>(std::max<LONG>(pOut->GetSize(), 0), owed));
        int32_t cb = 0;
        const EngineResult result = m_Processor.ReadTail(pDst, cbMax, cb);
        if (result == EngineResult::Failed) {
            hr = StreamError(result, "the engine failed at the end of the stream");
            break;
        }
        if (cb <= 0)
            break;
        owed -= cb;
        pOut->SetActualDataLength(cb);
        pOut->SetSyncPoint(TRUE);
        pOut->SetDiscontinuity(FALSE);
        pOut->SetPreroll(FALSE);
        if (m_bRestamp) {
            RestampSample(pOut.Get());
        } else if (m_bTailTimeValid && nAvgBytesPerSec > 0) {
            REFERENCE_TIME tStop =
                tStart + static_cast<REFERENCE_TIME>(cb) * kUnitsPerSecond / nAvgBytesPerSec;
            pOut->SetTime(&tStart, &tStop);
            m_rtTailStart = tStop;
        }
        hr = m_pOutput->Deliver(pOut.Get());
        if (hr != S_OK)
            break;
    }
    // What goes past the owed length, and the engine's state, belong to no later stream.
    m_Processor.Clear();
    ResetTailLength();
    return hr;
}

HRESULT CCopyTransformFilter::EndOfStream() {
    // The engine still holds the last part of the stream: deliver it before the end.
    DeliverTail();
    return CTransformFilter::EndOfStream();
}

HRESULT CCopyTransformFilter::EndFlush() {
    {
        // Upstream has stopped pushing (BeginFlush came first); wait for a sample in
        // progress, then forget everything from before the seek.
        CAutoLock lock(&m_csReceive);
        m_Processor.Clear();
        ResetTailLength();
        m_bTailTimeValid = false;
        m_bAnchorPending = true;
        m_bAnchorValid = false;
        m_bHeldDiscontinuity = false;
    }
    return CTransformFilter::EndFlush();
}

HRESULT CCopyTransformFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
    if (dir == PINDIR_INPUT && pmt) {
        // A new connection type: samples follow it until one carries a type of its own. Read
        // once here, not for every sample.
        CAutoLock lock(&m_csReceive);
        FollowStreamFormat(*pmt);
        return S_OK;
    }
    return S_OK;
}
