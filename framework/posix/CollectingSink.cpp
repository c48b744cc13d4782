#include "posix/CollectingSink.h"

#include <chrono>
#include <new>

// ---- the input pin -------------------------------------------------------------------------

class CCollectingSink::CInputPin final : public CBaseInputPin {
public:
    CInputPin(CCollectingSink* pSink, HRESULT* phr) noexcept
        : CBaseInputPin("CCollectingSink::CInputPin", pSink, &pSink->m_csFilter, phr, L"In"),
          m_pSink(pSink) {}

    HRESULT CheckMediaType(const CMediaType* pmt) override {
        try {
            return m_pSink->m_Check(*pmt);
        } catch (...) {
            return E_FAIL;
        }
    }

    HRESULT Active() override {
        m_pSink->Rearm();
        return CBaseInputPin::Active();
    }

    STDMETHODIMP Receive(IMediaSample* pSample) override {
        if (IsFlushing())
            m_pSink->OnSampleWhileFlushing();
        const HRESULT hr = CBaseInputPin::Receive(pSample);
        if (hr != S_OK)
            return hr;
        return m_pSink->OnSample(pSample, *SampleProps());
    }

    STDMETHODIMP EndOfStream() override {
        SinkEvent event;
        event.kind = SinkEvent::EndOfStream;
        m_pSink->OnEvent(event);
        const HRESULT hr = CheckStreaming();
        if (hr != S_OK)
            return hr; // flushing or stopped: not the end of this stream
        m_pSink->OnEndOfStream();
        return S_OK;
    }

    STDMETHODIMP BeginFlush() override {
        SinkEvent event;
        event.kind = SinkEvent::BeginFlush;
        m_pSink->OnEvent(event);
        m_pSink->Rearm();
        return CBaseInputPin::BeginFlush();
    }

    STDMETHODIMP EndFlush() override {
        SinkEvent event;
        event.kind = SinkEvent::EndFlush;
        m_pSink->OnEvent(event);
        return CBaseInputPin::EndFlush();
    }

    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override {
        SinkEvent event;
        event.kind = SinkEvent::NewSegment;
        event.tStart = tStart;
        event.tStop = tStop;
        event.dRate = dRate;
        m_pSink->OnEvent(event);
        return CBaseInputPin::NewSegment(tStart, tStop, dRate);
    }

private:
    CCollectingSink* const m_pSink;
};

// ---- the filter ----------------------------------------------------------------------------

const char* SinkEvent::Name() const noexcept {
    switch (kind) {
    case Sample:
        return "sample";
    case EndOfStream:
        return "eos";
    case BeginFlush:
        return "flush-begin";
    case EndFlush:
        return "flush-end";
    case NewSegment:
        return "segment";
    }
    return "?";
}

CCollectingSink::CCollectingSink(TypeCheck check, Options options) noexcept
    : CBaseFilter("CCollectingSink", nullptr, &m_csFilter, GUID_NULL), m_Check(std::move(check)),
      m_Options(std::move(options)) {}

CCollectingSink::~CCollectingSink() = default;

HRESULT CCollectingSink::Create(TypeCheck check, Options options,
                                CCollectingSink** ppSink) noexcept {
    if (!ppSink)
        return E_POINTER;
    *ppSink = nullptr;
    if (!check)
        return E_INVALIDARG;
    CCollectingSink* pSink =
        new (std::nothrow) CCollectingSink(std::move(check), std::move(options));
    if (!pSink)
        return E_OUTOFMEMORY;
    pSink->NonDelegatingAddRef();
    HRESULT hr = S_OK;
    try {
        pSink->m_pPin = std::make_unique<CInputPin>(pSink, &hr);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        pSink->NonDelegatingRelease();
        return hr;
    }
    *ppSink = pSink;
    return S_OK;
}

HRESULT CCollectingSink::Create(REFGUID majorType, Options options,
                                CCollectingSink** ppSink) noexcept {
    const GUID major = majorType;
    try {
        TypeCheck check = [major](const CMediaType& mt) {
            return IsEqualGUID(mt.majortype, major) ? S_OK : S_FALSE;
        };
        return Create(std::move(check), std::move(options), ppSink);
    } catch (const std::bad_alloc&) {
        if (ppSink)
            *ppSink = nullptr;
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CCollectingSink::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IAMFilterMiscFlags))
        return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CCollectingSink::GetPin(int n) {
    return n == 0 ? m_pPin.get() : nullptr;
}

IPin* CCollectingSink::InputPin() noexcept {
    return m_pPin.get();
}

STDMETHODIMP CCollectingSink::Run(REFERENCE_TIME tStart) {
    const HRESULT hr = CBaseFilter::Run(tStart);
    if (FAILED(hr))
        return hr;
    // An end of stream that arrived while paused completes now.
    bool bNotify = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bEndOfStream && !m_bCompleteSent)
            bNotify = m_bCompleteSent = true;
    }
    if (bNotify)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CCollectingSink::OnSample(IMediaSample* pSample, const AM_SAMPLE2_PROPERTIES& props) {
    try {
        if (!m_Options.bStoreSamples && !m_Options.onSample) {
            // Nobody reads the payload: count it without copying (benchmarks measure the
            // filter upstream, not this sink).
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_cSamplesSeen;
            }
            m_cv.notify_all();
            return S_OK;
        }
        // Samples arrive on one streaming thread at a time: when none is kept, one scratch
        // record serves them all, and its buffer is reused.
        ReceivedSample stored;
        ReceivedSample& s = m_Options.bStoreSamples ? stored : m_Scratch;
        s.data.clear();
        s.bTimeValid = s.bStopValid = s.bMediaTimeValid = s.bTypeChanged = false;
        s.tStart = s.tStop = 0;
        s.mtStart = s.mtStop = 0;
        s.lActual = props.lActual;
        s.cbBuffer = pSample->GetSize();
        BYTE* pData = nullptr;
        if (SUCCEEDED(pSample->GetPointer(&pData)) && pData && s.lActual > 0)
            s.data.assign(pData, pData + s.lActual);
        REFERENCE_TIME t0 = 0, t1 = 0;
        const HRESULT hrTime = pSample->GetTime(&t0, &t1);
        if (SUCCEEDED(hrTime)) {
            s.bTimeValid = true;
            s.bStopValid = hrTime != VFW_S_NO_STOP_TIME;
            s.tStart = t0;
            s.tStop = t1;
        }
        LONGLONG m0 = 0, m1 = 0;
        if (pSample->GetMediaTime(&m0, &m1) == S_OK) {
            s.bMediaTimeValid = true;
            s.mtStart = m0;
            s.mtStop = m1;
        }
        s.bSyncPoint = pSample->IsSyncPoint() == S_OK;
        s.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
        s.bPreroll = pSample->IsPreroll() == S_OK;
        AM_MEDIA_TYPE* pmt = nullptr;
        if (pSample->GetMediaType(&pmt) == S_OK && pmt) {
            s.bTypeChanged = true;
            const HRESULT hrType = s.mediaType.Set(*pmt);
            DeleteMediaType(pmt);
            if (FAILED(hrType))
                return hrType;
        }

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_Options.bStoreSamples) {
                SinkEvent event;
                event.kind = SinkEvent::Sample;
                event.iSample = m_cSamplesSeen;
                m_Events.push_back(event);
                m_Samples.push_back(s);
            }
            ++m_cSamplesSeen;
        }
        m_cv.notify_all();
        return m_Options.onSample ? m_Options.onSample(pSample, s) : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL; // from the host's callback: nothing may reach the upstream thread
    }
}

void CCollectingSink::OnEvent(const SinkEvent& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            m_Events.push_back(event);
        } catch (const std::bad_alloc&) {
            return; // the record misses one entry; the stream itself is unaffected
        }
    }
    m_cv.notify_all();
}

void CCollectingSink::OnEndOfStream() {
    bool bNotify = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEndOfStream = true;
        // Run sets the state before it looks at m_bEndOfStream: one of us sends it.
        if (State() == State_Running && !m_bCompleteSent)
            bNotify = m_bCompleteSent = true;
    }
    m_cv.notify_all();
    if (bNotify)
        NotifyEvent(EC_COMPLETE, S_OK, 0);
}

void CCollectingSink::Rearm() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bEndOfStream = false;
    m_bCompleteSent = false;
}

std::vector<ReceivedSample> CCollectingSink::Samples() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_Samples;
}

std::vector<SinkEvent> CCollectingSink::Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_Events;
}

std::vector<std::string> CCollectingSink::EventNames() const {
    std::vector<std::string> names;
    for (const SinkEvent& e : Events())
        names.emplace_back(e.Name());
    return names;
}

size_t CCollectingSink::SamplesWhileFlushing() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cSamplesWhileFlushing;
}

void CCollectingSink::OnSampleWhileFlushing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cSamplesWhileFlushing;
}

size_t CCollectingSink::Count(SinkEvent::Kind kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (kind == SinkEvent::Sample)
        return m_cSamplesSeen;
    size_t n = 0;
    for (const SinkEvent& e : m_Events)
        n += e.kind == kind ? 1 : 0;
    return n;
}

bool CCollectingSink::EndOfStreamReached() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bEndOfStream;
}

bool CCollectingSink::WaitForEndOfStream(DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return m_bEndOfStream; });
}

bool CCollectingSink::WaitForSamples(size_t n, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this, n] { return m_cSamplesSeen >= n; });
}

void CCollectingSink::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_Samples.clear();
    m_Events.clear();
    m_cSamplesSeen = 0;
}
