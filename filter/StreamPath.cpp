// The speed filter's streaming path: each input sample, read once, becomes its outputs in one
// loop; the arithmetic (the output plan, the owed output, the stamp clock) lives in core/.
#include "CopyTransformFilter.h"

#include "DiagnosticLog.h"
#include "MediaTime.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

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

HRESULT CCopyTransformFilter::Transform(IMediaSample*, IMediaSample*) {
    return E_UNEXPECTED;
}

void CCopyTransformFilter::FollowStreamFormat(const AM_MEDIA_TYPE& mt) {
    m_bStreamFormatValid = SUCCEEDED(ParseAudioFormat(mt, &m_StreamFormat));
}

HRESULT CCopyTransformFilter::ReadInput(IMediaSample* pIn, InputSample& in) {
    AM_MEDIA_TYPE* pRawType = nullptr;
    if (pIn->GetMediaType(&pRawType) == S_OK && pRawType) {
        in.pmt.reset(pRawType);
        FollowStreamFormat(*in.pmt);
    }
    if (!ReadFlag(pIn->IsSyncPoint(), &in.bSyncPoint) ||
        !ReadFlag(pIn->IsPreroll(), &in.bPreroll) ||
        !ReadFlag(pIn->IsDiscontinuity(), &in.bDiscontinuity))
        return E_UNEXPECTED;
    BYTE* pData = nullptr;
    HRESULT hr = pIn->GetPointer(&pData);
    if (FAILED(hr))
        return hr;
    in.pData = pData;
    // Never trust the length upstream reports beyond its own buffer.
    in.cbData = std::clamp<LONG>(pIn->GetActualDataLength(), 0, std::max<LONG>(pIn->GetSize(), 0));
    if (!m_bStreamFormatValid)
        return VFW_E_INVALIDMEDIATYPE;
    in.nFrames = in.cbData / std::max<int32_t>(m_StreamFormat.nBlockAlign, 1);
    SampleStamps& st = in.stamps;
    REFERENCE_TIME tStart = 0, tStop = 0;
    hr = pIn->GetTime(&tStart, &tStop);
    st.bTime = SUCCEEDED(hr);
    st.bStop = hr == S_OK;
    st.tStart = tStart;
    st.tStop = st.bStop ? tStop : tStart;
    LONGLONG mtStart = 0, mtStop = 0;
    st.bMedia = pIn->GetMediaTime(&mtStart, &mtStop) == S_OK;
    st.mtStart = mtStart;
    st.mtStop = mtStop;
    in.unit = MediaUnitOf(st.bMedia, st.mtStart, st.mtStop, in.nFrames, m_StreamFormat.nBlockAlign,
                          st.bStop, st.tStart, st.tStop);
    // A segment whose rate the filter plays: from here on its stamps are in the stream's time.
    // Media times stay positions in the file.
    if (m_Segment.Scales()) {
        st.tStart = m_Segment.ToStreamTime(st.tStart);
        st.tStop = m_Segment.ToStreamTime(st.tStop);
    }
    return S_OK;
}

HRESULT CCopyTransformFilter::Receive(IMediaSample* pSample) {
    if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA)
        return m_pOutput->Deliver(pSample);
    // The input an ended stretch held went out with the last input (its storage stays).
    if (!m_bEndStretch)
        m_Held.clear();
    InputSample in;
    HRESULT hr = ReadInput(pSample, in);
    if (FAILED(hr))
        return hr;
    hr = UpdateProcessorFormat(m_StreamFormat);
    if (SUCCEEDED(hr))
        hr = ApplySpeedChanges();
    if (FAILED(hr))
        return hr;
    if (in.stamps.bTime) {
        m_tTailStart = in.stamps.tStop;
        m_nTailFrames = 0;
        m_bTailTimeValid = true;
    }
    if (StampsByAudio())
        m_Clock.AnchorAt(in.stamps, in.unit, m_StreamFormat.nSamplesPerSec,
                         m_StreamFormat.nBlockAlign);
    // Normal speed with nothing left of a stretch: the input itself, bit for bit.
    const bool bCopy =
        !m_Processor.IsActive() && !m_bEndStretch && m_Processor.BufferedBytes() == 0;
    return DeliverInput(in, bCopy);
}

HRESULT CCopyTransformFilter::DeliverInput(InputSample& in, bool bCopy) {
    if (m_cbOutBuffer.load() <= 0) {
        // An allocator this filter did not size (none of its own connections): ask it once.
        ALLOCATOR_PROPERTIES props{};
        IMemAllocator* pAllocator = m_pOutput->Allocator();
        if (!pAllocator || FAILED(pAllocator->GetProperties(&props)))
            return VFW_E_NO_ALLOCATOR;
        m_cbOutBuffer = props.cbBuffer;
    }
    const LONG cbBuffer = std::max<LONG>(m_cbOutBuffer.load(), 0);
    const int32_t blockAlign = m_Processor.BlockAlign();
    m_Plan.Start(in.nFrames, cbBuffer);
    m_nFed = 0;
    if (bCopy) {
        m_Owed.Reset();
        m_Plan.PlanGroup(in.nFrames, in.cbData, true, true);
    } else if (m_bEndStretch) {
        // A slowed-down stretch ends into a copy once enough input is here for the join to be
        // found in real audio (short inputs would leave it to a mirrored guess); until then the
        // inputs wait, and their outputs are what the ring holds. Other ends take the first
        // input as it is, so that the change is heard at once.
        const size_t cbIn = static_cast<size_t>(in.nFrames) * blockAlign;
        try {
            // Within the storage reserved at configuration but for an input larger than it.
            m_Held.insert(m_Held.end(), in.pData, in.pData + cbIn);
        } catch (...) {
            return StreamError(EngineResult::Failed, "no memory for the input of a change");
        }
        const int64_t held = static_cast<int64_t>(m_Held.size()) / std::max(blockAlign, 1);
        const int32_t ringFrames = m_Processor.BufferedBytes() / std::max(blockAlign, 1);
        if (!m_bEndToStretch && m_Processor.SplicesBySearch() &&
            held < m_Processor.InputToFinish(m_Owed.EngineOwedFrames(ringFrames)) &&
            m_Held.size() + cbIn <= m_Held.capacity()) {
            m_nFed = in.nFrames;
            m_Plan.PlanGroup(in.nFrames, m_Processor.BufferedBytes(), true, false);
        } else {
            in.pData = m_Held.data();
            in.nFrames = static_cast<int32_t>(held);
            in.cbData = static_cast<LONG>(m_Held.size());
            m_Plan.Start(in.nFrames, cbBuffer);
            const HRESULT hr = EndStretch(in);
            if (FAILED(hr))
                return hr;
        }
    } else {
        m_nSliceFrames = SliceFrames(in.nFrames, m_Processor.OutputPerInputRatio(), cbBuffer,
                                     blockAlign, m_Processor.Format().nSamplesPerSec);
    }
    LONG cbCopied = 0;
    bool bFirst = true;
    for (;;) {
        if (!m_Plan.GroupOpen()) {
            if (bCopy || m_nFed >= in.nFrames)
                return S_OK;
            const HRESULT hr = FeedGroup(in);
            if (FAILED(hr))
                return hr;
            continue;
        }
        // A flush or stop has begun: what was not delivered stays in the ring.
        if (m_pInput->IsFlushing() || IsStopped())
            return S_OK;
        IMediaSample* pRaw = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&pRaw, nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        const ComPtr<IMediaSample> pOut = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* pDst = nullptr;
        hr = pOut->GetPointer(&pDst);
        if (FAILED(hr))
            return hr;
        const LONG cbSize = std::max<LONG>(pOut->GetSize(), 0);
        if (cbSize <= 0 && m_Plan.PlannedBytes() > 0)
            return E_UNEXPECTED; // an allocator whose buffers hold nothing
        const InputPlan::Output slot = m_Plan.Next(cbSize);
        if (bCopy) {
            if (slot.cbBytes > 0)
                std::memcpy(pDst, in.pData + cbCopied, static_cast<size_t>(slot.cbBytes));
            cbCopied += slot.cbBytes;
        } else {
            const int32_t n = m_Processor.ReadOutput(pDst, slot.cbBytes);
            if (n != slot.cbBytes)
                return E_UNEXPECTED;
            m_Owed.Taken(n / std::max(blockAlign, 1));
        }
        hr = pOut->SetActualDataLength(slot.cbBytes);
        if (FAILED(hr))
            return hr;
        if (!PrepareOutput(pOut.Get(), in, slot, bFirst, bCopy))
            continue;
        if (bFirst && in.pmt) {
            hr = pOut->SetMediaType(in.pmt.get());
            if (FAILED(hr))
                return hr;
        }
        bFirst = false;
        // Waiting for the buffer may have let a flush or stop begin.
        if (m_pInput->IsFlushing() || IsStopped())
            return S_OK;
        hr = m_pOutput->Deliver(pOut.Get());
        if (hr != S_OK)
            return hr;
    }
}

bool CCopyTransformFilter::PrepareOutput(IMediaSample* pOut, const InputSample& in,
                                         const InputPlan::Output& slot, bool bFirst, bool bCopy) {
    bool bDiscontinuity = bFirst && in.bDiscontinuity;
    pOut->SetSyncPoint(in.bSyncPoint ? TRUE : FALSE);
    pOut->SetPreroll(in.bPreroll ? TRUE : FALSE);
    const SampleStamps& st = in.stamps;
    const int64_t end = int64_t(in.nFrames) * slot.unit; // the input's stop, in slot units
    const bool bWhole = slot.inFrom == 0 && slot.inTo >= end;
    const int32_t blockAlign = std::max<int32_t>(m_StreamFormat.nBlockAlign, 1);
    const uint32_t rate = m_StreamFormat.nSamplesPerSec;
    SampleStamps out;
    if (StampsByAudio()) {
        if (slot.cbBytes <= 0) {
            // Left out: its discontinuity goes on the next output delivered.
            m_bHeldDiscontinuity = m_bHeldDiscontinuity || bDiscontinuity;
            return false;
        }
        bDiscontinuity = bDiscontinuity || m_bHeldDiscontinuity;
        m_bHeldDiscontinuity = false;
        // A copy in a segment the filter plays lasts its frames, not its span in the stream's
        // time (the tempo set cancels the segment's rate): it is stamped by its audio too.
        if (!bCopy || m_Segment.Scales())
            m_Clock.StopFollowing();
        // Normal speed since the anchor: an input's one output keeps its stamps.
        if (bCopy && bFirst && bWhole &&
            m_Clock.FollowInput(st, in.nFrames, in.unit, rate, m_StreamFormat.nBlockAlign))
            out = st;
        else
            out = m_Clock.Next(slot.cbBytes / blockAlign, rate, m_StreamFormat.nBlockAlign);
    } else {
        // Inside the input's span, in proportion to the frames the output stands for.
        out.bTime = st.bTime;
        out.bStop = st.bStop;
        out.bMedia = st.bMedia;
        auto at = [end](int64_t a, int64_t b, int64_t pos) {
            return pos >= end ? std::max(a, b) : TimeAt(a, b, pos, end);
        };
        out.tStart = at(st.tStart, st.tStop, slot.inFrom);
        out.tStop = at(st.tStart, st.tStop, slot.inTo);
        out.mtStart = at(st.mtStart, st.mtStop, slot.inFrom);
        out.mtStop = at(st.mtStart, st.mtStop, slot.inTo);
        if (bWhole) {
            out.tStart = st.tStart;
            out.tStop = st.tStop;
            out.mtStart = st.mtStart;
            out.mtStop = st.mtStop;
        }
    }
    pOut->SetDiscontinuity(bDiscontinuity ? TRUE : FALSE);
    REFERENCE_TIME tStart = out.tStart, tStop = out.tStop;
    pOut->SetTime(out.bTime ? &tStart : nullptr, out.bTime && out.bStop ? &tStop : nullptr);
    LONGLONG mtStart = out.mtStart, mtStop = out.mtStop;
    pOut->SetMediaTime(out.bMedia ? &mtStart : nullptr, out.bMedia ? &mtStop : nullptr);
    return true;
}

// Feeds slices until the ring holds more than one output buffer or the input is used up, then
// plans the group's outputs.
HRESULT CCopyTransformFilter::FeedGroup(InputSample& in) {
    const int32_t blockAlign = m_Processor.BlockAlign();
    const double outPerIn = m_Processor.OutputPerInputRatio();
    while (m_nFed < in.nFrames) {
        const int32_t n = m_Plan.NextSlice(m_nFed, m_nSliceFrames);
        const EngineResult result = m_Processor.ProcessInput(
            in.pData + static_cast<size_t>(m_nFed) * blockAlign, n * blockAlign);
        if (result != EngineResult::Ok && result != EngineResult::NoOutput)
            return StreamError(result, "the engine took no input");
        m_Owed.Fed(n, outPerIn);
        m_nFed += n;
        if (m_Plan.GroupFull(m_Processor.BufferedBytes()))
            break;
    }
    const bool bLast = m_nFed >= in.nFrames;
    m_Plan.PlanGroup(m_nFed, m_Processor.BufferedBytes(), bLast, bLast && !m_Processor.IsActive());
    return S_OK;
}

// The first input after a change that ends the stretch: the engine's owed output, spliced into
// the input (a copy from then on) or into a fresh engine at the new values.
HRESULT CCopyTransformFilter::EndStretch(InputSample& in) {
    const int32_t blockAlign = std::max(m_Processor.BlockAlign(), 1);
    const int64_t ringFrames = m_Processor.BufferedBytes() / blockAlign;
    int32_t used = 0;
    const EngineResult result = m_Processor.FinishStretch(
        in.pData, in.nFrames * blockAlign, m_Owed.EngineOwedFrames(ringFrames),
        m_bEndToStretch ? m_nNext : nullptr, used);
    m_bEndStretch = false;
    if (result != EngineResult::Ok)
        return StreamError(result, "the engine could not end its stretch");
    if (m_Processor.IsActive() &&
        m_Processor.ChangeTuning(ReadStretchTuning(m_dNextTempo)) != EngineResult::Ok)
        return StreamError(EngineResult::Failed, "the engine did not take the speed values");
    m_Owed.Settle(m_Processor.BufferedBytes() / blockAlign);
    m_nFed = used;
    if (m_Processor.IsActive()) {
        // The rest of the input goes on like any stretched input, slice by slice.
        m_nSliceFrames =
            SliceFrames(in.nFrames, m_Processor.OutputPerInputRatio(), m_Plan.BufferBytes(),
                        blockAlign, m_Processor.Format().nSamplesPerSec);
        if (m_nFed < in.nFrames)
            return S_OK;
    }
    m_Plan.PlanGroup(in.nFrames, m_Processor.BufferedBytes(), true, !m_Processor.IsActive());
    return S_OK;
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
    m_Owed.Reset();
    m_bEndStretch = false;
    EngineResult result = m_Processor.Configure(fmt, options);
    m_Held.clear();
    if (result == EngineResult::Ok) {
        try {
            m_Held.reserve(static_cast<size_t>(fmt.nSamplesPerSec) / 1000 * kMaxEndHoldMs *
                           static_cast<size_t>(m_Processor.BlockAlign()));
        } catch (...) {
            result = EngineResult::Failed;
        }
    }
    if (result != EngineResult::Ok)
        return StreamError(result, "the engine could not be set up for the stream's format");
    // A new processor starts at normal speed: give it the current values, latched or not.
    return ApplySpeedChanges(true);
}

HRESULT CCopyTransformFilter::StreamError(EngineResult result, const char* what) {
    return StreamFailure(result == EngineResult::Refused ? E_UNEXPECTED : VFW_E_RUNTIME_ERROR,
                         what);
}

HRESULT CCopyTransformFilter::StreamFailure(HRESULT hr, const char* what) {
    LogMessage(LogLevel::Error, "%s (0x%08lx); the stream stops", what,
               static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    // As the platform's filters do: the graph hears of it, and the input refuses what follows
    // until the next stop or flush.
    NotifyEvent(EC_ERRORABORT, hr, 0);
    m_pInput->SetRunTimeError();
    return hr;
}

// The tail's outputs follow the last input's stop, each as long as its audio.
SampleStamps CCopyTransformFilter::TailStamps(LONG cb) {
    SampleStamps out;
    const int32_t blockAlign = std::max<int32_t>(m_StreamFormat.nBlockAlign, 1);
    if (StampsByAudio())
        return m_Clock.Next(cb / blockAlign, m_StreamFormat.nSamplesPerSec,
                            m_StreamFormat.nBlockAlign);
    if (m_bTailTimeValid) {
        out.bTime = out.bStop = true;
        // From a running count, so that no rounding adds up.
        const uint32_t rate = m_StreamFormat.nSamplesPerSec;
        out.tStart = SaturatingAdd(m_tTailStart, FramesToTime(m_nTailFrames, rate));
        m_nTailFrames += cb / blockAlign;
        out.tStop = SaturatingAdd(m_tTailStart, FramesToTime(m_nTailFrames, rate));
    }
    return out;
}

HRESULT CCopyTransformFilter::DeliverTail() {
    HRESULT hr = S_OK;
    const int32_t blockAlign = m_Processor.BlockAlign();
    if (m_bEndStretch && !m_Held.empty()) {
        // The stream ended while the input after a change waited: the stretch ends with it.
        InputSample held;
        held.pData = m_Held.data();
        held.cbData = static_cast<LONG>(m_Held.size());
        held.nFrames = static_cast<int32_t>(m_Held.size() / std::max(blockAlign, 1));
        m_Plan.Start(held.nFrames, 0);
        hr = EndStretch(held);
        if (FAILED(hr))
            return hr;
        if (m_Processor.IsActive() && m_nFed < held.nFrames) {
            const EngineResult result =
                m_Processor.ProcessInput(held.pData + static_cast<size_t>(m_nFed) * blockAlign,
                                         (held.nFrames - m_nFed) * blockAlign);
            if (result != EngineResult::Ok && result != EngineResult::NoOutput)
                return StreamError(result, "the engine took no input");
            m_Owed.Fed(held.nFrames - m_nFed, m_Processor.OutputPerInputRatio());
        }
    }
    m_bEndStretch = false;
    m_Held.clear();
    // A stretch owes its engine's length; a stretch just ended still has its splice in the ring.
    int64_t owed = blockAlign <= 0          ? 0
                   : m_Processor.IsActive() ? std::max<int64_t>(m_Owed.OwedFrames() * blockAlign,
                                                                m_Processor.BufferedBytes())
                                            : m_Processor.BufferedBytes();
    while (owed > 0) {
        IMediaSample* pRaw = nullptr;
        hr = m_pOutput->GetDeliveryBuffer(&pRaw, nullptr, nullptr, 0);
        if (FAILED(hr)) {
            // A stop or flush decommits the buffers: the tail goes with the stream.
            hr = m_pInput->IsFlushing() || IsStopped()
                     ? S_OK
                     : StreamFailure(hr, "no output buffer for the end of the stream");
            break;
        }
        const ComPtr<IMediaSample> pOut = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* pDst = nullptr;
        hr = pOut->GetPointer(&pDst);
        if (FAILED(hr)) {
            hr = StreamFailure(hr, "an output buffer for the end of the stream has no memory");
            break;
        }
        const LONG cbMax = static_cast<LONG>(
            std::min<int64_t>(std::max<LONG>(pOut->GetSize(), 0) / blockAlign * blockAlign, owed));
        int32_t cb = 0;
        if (m_Processor.IsActive()) {
            const EngineResult result = m_Processor.ReadTail(pDst, cbMax, cb);
            if (result == EngineResult::Failed) {
                hr = StreamError(result, "the engine failed at the end of the stream");
                break;
            }
        } else {
            cb = m_Processor.ReadOutput(pDst, cbMax);
        }
        if (cb <= 0)
            break;
        owed -= cb;
        hr = pOut->SetActualDataLength(cb);
        if (FAILED(hr)) {
            hr = StreamFailure(hr, "an output buffer refused the end of the stream's length");
            break;
        }
        pOut->SetSyncPoint(TRUE);
        pOut->SetDiscontinuity(FALSE);
        pOut->SetPreroll(FALSE);
        const SampleStamps st = TailStamps(cb);
        REFERENCE_TIME tStart = st.tStart, tStop = st.tStop;
        if (st.bTime)
            pOut->SetTime(&tStart, &tStop);
        LONGLONG mtStart = st.mtStart, mtStop = st.mtStop;
        if (st.bMedia)
            pOut->SetMediaTime(&mtStart, &mtStop);
        hr = m_pOutput->Deliver(pOut.Get());
        if (hr != S_OK) {
            if (FAILED(hr))
                LogMessage(LogLevel::Warning,
                           "downstream refused the end of the stream (0x%08lx); the rest of it "
                           "is dropped",
                           static_cast<unsigned long>(static_cast<uint32_t>(hr)));
            hr = S_OK;
            break;
        }
    }
    // What goes past the owed length, and the engine's state, belong to no later stream.
    m_Processor.Clear();
    m_Owed.Reset();
    m_bEndStretch = false;
    m_nTailFrames = 0;
    return hr;
}

HRESULT CCopyTransformFilter::EndOfStream() {
    // The engine still holds the last part of the stream: deliver it before the end. A stream
    // stopped by an error (the graph has heard of it) ends there.
    const HRESULT hr = DeliverTail();
    if (FAILED(hr))
        return hr;
    return CTransformFilter::EndOfStream();
}

void CCopyTransformFilter::ResetStream() {
    m_Processor.Clear();
    m_Owed.Reset();
    m_bEndStretch = false;
    m_Held.clear();
    m_bTailTimeValid = false;
    m_Clock.Reset();
    m_bHeldDiscontinuity = false;
}

HRESULT CCopyTransformFilter::EndFlush() {
    {
        // Upstream has stopped pushing (BeginFlush came first); wait for a sample in
        // progress, then forget everything from before the seek.
        CAutoLock lock(&m_csReceive);
        ResetStream();
    }
    return CTransformFilter::EndFlush();
}

HRESULT CCopyTransformFilter::StartStreaming() {
    // Called under the streaming lock as the filter leaves Stopped.
    m_Clock.Reset();
    m_bHeldDiscontinuity = false;
    return CTransformFilter::StartStreaming();
}

HRESULT CCopyTransformFilter::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                         double dRate) {
    double dDownstreamRate = dRate;
    {
        // Samples of the new segment are stamped from its first input on.
        CAutoLock lock(&m_csReceive);
        m_Clock.Reset();
        if (m_bSegmentRateMode) {
            const double dOldRate = m_Segment.Rate();
            m_Segment.Start(dRate);
            // Applied at the segment's first input, as a setter's change is.
            m_bSegmentRateChanged = m_bSegmentRateChanged || m_Segment.Rate() != dOldRate;
            dDownstreamRate = m_Segment.DownstreamRate(dRate);
            if (!SegmentRate::Accepts(dRate))
                LogMessage(LogLevel::Warning,
                           "a segment at rate %g is passed on as it is: the filter plays rates "
                           "from %g to %g",
                           dRate, VELOMIX_FACTOR_MIN, VELOMIX_FACTOR_MAX);
        }
    }
    return CTransformFilter::NewSegment(tStart, tStop, dDownstreamRate);
}

HRESULT CCopyTransformFilter::SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) {
    if (dir == PINDIR_INPUT && pmt) {
        // A new connection type: samples follow it until one carries a type of its own. Read
        // once here, not for every sample.
        CAutoLock lock(&m_csReceive);
        FollowStreamFormat(*pmt);
    }
    return S_OK;
}
