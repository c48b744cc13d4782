#include "FrameworkTest.h"

#include "Transform.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr DWORD kHangGuardMs = 10000; // only ever reached when something hangs
constexpr REFERENCE_TIME kSecond = 10000000;

// ---- test material -------------------------------------------------------------------------

// Endless 16-bit mono at 8 kHz: frame n holds the value n (mod 2^16). Seekable.
class CEndlessProvider final : public CSampleProvider {
public:
    explicit CEndlessProvider(LONG cbChunk) : m_cbChunk(cbChunk) {}
    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        const LONGLONG cFrames = std::min(cbBuffer, m_cbChunk) / 2;
        for (LONGLONG i = 0; i < cFrames; ++i) {
            const auto v = static_cast<uint16_t>(m_Next + i);
            std::memcpy(pBuffer + 2 * i, &v, 2);
        }
        *pChunk = SourceChunk{};
        pChunk->cbData = static_cast<LONG>(cFrames * 2);
        pChunk->bTimeValid = true;
        pChunk->tStart = CPcmProvider::FrameTime(m_Next - m_Segment, 8000);
        pChunk->tStop = CPcmProvider::FrameTime(m_Next + cFrames - m_Segment, 8000);
        pChunk->bMediaTimeValid = true;
        pChunk->mtStart = m_Next;
        pChunk->mtStop = m_Next + cFrames;
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_bDiscontinuity;
        m_bDiscontinuity = false;
        m_Next += cFrames;
        return S_OK;
    }
    HRESULT SeekTo(REFERENCE_TIME tStart, REFERENCE_TIME) override {
        m_Segment = m_Next = tStart * 8000 / kSecond;
        m_bDiscontinuity = true;
        return S_OK;
    }
    bool CanSeek() const noexcept override { return true; }
    REFERENCE_TIME Duration() const noexcept override { return 3600 * kSecond; }

private:
    const LONG m_cbChunk;
    LONGLONG m_Segment = 0;
    LONGLONG m_Next = 0;
    bool m_bDiscontinuity = true;
};

// Good chunks, then a failure. Cannot seek.
class CFailingProvider final : public CSampleProvider {
public:
    CFailingProvider(int cGood, HRESULT hrFail) : m_cGood(cGood), m_hrFail(hrFail) {}
    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        if (m_cGood-- <= 0)
            return m_hrFail;
        std::memset(pBuffer, 0, static_cast<size_t>(cbBuffer));
        *pChunk = SourceChunk{};
        pChunk->cbData = cbBuffer;
        return S_OK;
    }

private:
    int m_cGood;
    const HRESULT m_hrFail;
};

// A transform that copies each input buffer, sized like its input buffers.
class CCopyTransform final : public CTransformFilter {
public:
    static HRESULT Create(CCopyTransform** ppFilter) { return CreateTestFilter(ppFilter); }
    HRESULT CheckInputType(const CMediaType* mt) override {
        return IsEqualGUID(mt->majortype, MEDIATYPE_Audio) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
        return *in == *out ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES*) override {
        ComPtr<IMemAllocator> pInAlloc;
        ALLOCATOR_PROPERTIES in{};
        if (FAILED(m_pInput->GetAllocator(&pInAlloc)) || FAILED(pInAlloc->GetProperties(&in)))
            return E_UNEXPECTED;
        ALLOCATOR_PROPERTIES req{2, in.cbBuffer, 1, 0}, act{};
        const HRESULT hr = pAlloc->SetProperties(&req, &act);
        return FAILED(hr) ? hr : (act.cbBuffer >= in.cbBuffer ? S_OK : E_FAIL);
    }
    HRESULT GetMediaType(int iPosition, CMediaType* pmt) override {
        return GetSingleMediaType(m_pInput->CurrentMediaType(), iPosition, pmt);
    }
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override {
        BYTE* pSrc = nullptr;
        BYTE* pDst = nullptr;
        pIn->GetPointer(&pSrc);
        pOut->GetPointer(&pDst);
        const LONG cb = pIn->GetActualDataLength();
        if (cb > pOut->GetSize())
            return VFW_E_BUFFER_OVERFLOW;
        std::memcpy(pDst, pSrc, static_cast<size_t>(cb));
        return pOut->SetActualDataLength(cb);
    }

private:
    friend HRESULT ::CreateTestFilter<CCopyTransform>(CCopyTransform** ppFilter);
    explicit CCopyTransform(HRESULT* phr) noexcept
        : CTransformFilter("CCopyTransform", nullptr, GUID_NULL) {
        m_pInput.reset(new (std::nothrow)
                           CTransformInputPin("CCopyTransform input", this, phr, L"In"));
        m_pOutput.reset(new (std::nothrow)
                            CTransformOutputPin("CCopyTransform output", this, phr, L"Out"));
        if (!m_pInput || !m_pOutput)
            *phr = E_OUTOFMEMORY;
    }
};

std::vector<BYTE> Pattern(size_t n) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<BYTE>(i * 7 + i / 251);
    return v;
}

WAVEFORMATEX FormatOf(const CMediaType& mt) {
    WAVEFORMATEX wfx{};
    std::memcpy(&wfx, mt.Format(), sizeof(wfx));
    return wfx;
}

ComPtr<IPin> PinOf(IBaseFilter* pFilter, const wchar_t* id) {
    ComPtr<IPin> pPin;
    EXPECT_HR(S_OK, pFilter->FindPin(id, &pPin));
    return pPin;
}

template <class T> ComPtr<T> Query(IUnknown* p, REFIID riid) {
    ComPtr<T> q;
    EXPECT_HR(S_OK, p->QueryInterface(riid, reinterpret_cast<void**>(&q)));
    return q;
}

// Index of the first event of a kind at or after `from`; events.size() when none.
size_t FindEvent(const std::vector<SinkEvent>& events, SinkEvent::Kind kind, size_t from = 0) {
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind)
            return i;
    }
    return events.size();
}

class GraphTest : public FrameworkTest {
protected:
    void TearDown() override {
        m_pGraph.Reset(); // stops, disconnects and lets go of the filters
        m_pSource.Reset();
        m_pTransform.Reset();
        m_pSink.Reset();
        FrameworkTest::TearDown();
    }

    void MakeFilters(std::unique_ptr<CSampleProvider> pProvider,
                     const CPushSource::Options& options, bool bTransform,
                     CCollectingSink::Options sinkOptions = {}) {
        ASSERT_HR(S_OK, CFilterGraph::Create(&m_pGraph));
        ASSERT_HR(S_OK, CPushSource::Create(m_mt, std::move(pProvider), options, &m_pSource));
        ASSERT_HR(S_OK, CCollectingSink::Create(MEDIATYPE_Audio, std::move(sinkOptions), &m_pSink));
        ASSERT_HR(S_OK, m_pGraph->AddFilter(m_pSource.Get(), L"Source"));
        ASSERT_HR(S_OK, m_pGraph->AddFilter(m_pSink.Get(), L"Sink"));
        if (bTransform) {
            ASSERT_HR(S_OK, CCopyTransform::Create(&m_pTransform));
            ASSERT_HR(S_OK, m_pGraph->AddFilter(m_pTransform.Get(), L"Copy"));
        }
    }

    // source [-> copy] -> sink, connected with the types the pins agree on.
    void Build(std::unique_ptr<CSampleProvider> pProvider, const CPushSource::Options& options,
               bool bTransform, CCollectingSink::Options sinkOptions = {}) {
        MakeFilters(std::move(pProvider), options, bTransform, std::move(sinkOptions));
        if (bTransform) {
            ASSERT_HR(S_OK,
                      m_pGraph->ConnectDirect(m_pSource->OutputPin(),
                                              PinOf(m_pTransform.Get(), L"In").Get(), nullptr));
            ASSERT_HR(S_OK, m_pGraph->ConnectDirect(PinOf(m_pTransform.Get(), L"Out").Get(),
                                                    m_pSink->InputPin(), nullptr));
        } else {
            ASSERT_HR(S_OK, m_pGraph->ConnectDirect(m_pSource->OutputPin(), m_pSink->InputPin(),
                                                    nullptr));
        }
    }

    void BuildPcm(std::vector<BYTE> data, LONG cbChunk, bool bTransform) {
        CPushSource::Options options;
        options.cbBuffer = 1024;
        Build(std::make_unique<CPcmProvider>(FormatOf(m_mt), std::move(data), cbChunk), options,
              bTransform);
    }

    // Every sample that arrived as the source made it: payload, times, media times, flags.
    void ExpectPcmArrivedUnchanged(const std::vector<BYTE>& data, LONG cbChunk) {
        const std::vector<ReceivedSample> samples = m_pSink->Samples();
        const LONG cbFrame = 4, framesPerChunk = cbChunk / cbFrame;
        const size_t cbWhole = data.size() / cbFrame * cbFrame;
        ASSERT_EQ(samples.size(), (cbWhole + static_cast<size_t>(framesPerChunk * cbFrame) - 1) /
                                      static_cast<size_t>(framesPerChunk * cbFrame));
        std::vector<BYTE> joined;
        for (size_t i = 0; i < samples.size(); ++i) {
            SCOPED_TRACE(i);
            const ReceivedSample& s = samples[i];
            joined.insert(joined.end(), s.data.begin(), s.data.end());
            const LONGLONG f0 = static_cast<LONGLONG>(i) * framesPerChunk;
            const LONGLONG f1 =
                std::min<LONGLONG>(f0 + framesPerChunk, static_cast<LONGLONG>(cbWhole / cbFrame));
            EXPECT_TRUE(s.bTimeValid && s.bStopValid);
            EXPECT_EQ(s.tStart, CPcmProvider::FrameTime(f0, 8000));
            EXPECT_EQ(s.tStop, CPcmProvider::FrameTime(f1, 8000));
            EXPECT_TRUE(s.bMediaTimeValid);
            EXPECT_EQ(s.mtStart, f0);
            EXPECT_EQ(s.mtStop, f1);
            EXPECT_TRUE(s.bSyncPoint);
            EXPECT_EQ(s.bDiscontinuity, i == 0);
            EXPECT_FALSE(s.bPreroll);
            EXPECT_FALSE(s.bTypeChanged);
            EXPECT_EQ(s.cbBuffer, 1024);
        }
        EXPECT_TRUE(joined == std::vector<BYTE>(data.begin(),
                                                data.begin() + static_cast<ptrdiff_t>(cbWhole)));
    }

    // Waits for n samples more than have arrived so far.
    void WaitForMoreSamples(size_t n) {
        const size_t seen = m_pSink->Count(SinkEvent::Sample);
        ASSERT_TRUE(m_pSink->WaitForSamples(seen + n, kHangGuardMs));
    }

    CMediaType m_mt = PcmType(2, 8000, 16);
    ComPtr<CFilterGraph> m_pGraph;
    ComPtr<CPushSource> m_pSource;
    ComPtr<CCopyTransform> m_pTransform;
    ComPtr<CCollectingSink> m_pSink;
};

// ---- the graph -------------------------------------------------------------------------------

TEST_F(GraphTest, MembershipNamesAndConnectionRules) {
    MakeFilters(std::make_unique<CEndlessProvider>(400), {}, true);
    ComPtr<CCollectingSink> pSecond;
    ASSERT_HR(S_OK, CCollectingSink::Create(MEDIATYPE_Audio, {}, &pSecond));
    EXPECT_HR(E_POINTER, m_pGraph->AddFilter(nullptr, L"x"));
    EXPECT_HR(E_INVALIDARG, m_pGraph->AddFilter(m_pSink.Get(), L"Again")) << "already a member";
    EXPECT_HR(VFW_S_DUPLICATE_NAME, m_pGraph->AddFilter(pSecond.Get(), L"Sink"));
    FILTER_INFO info{};
    ASSERT_HR(S_OK, pSecond->QueryFilterInfo(&info));
    EXPECT_STREQ(info.achName, L"Sink 0001");
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph*>(m_pGraph.Get()));
    info.pGraph->Release();

    ComPtr<IBaseFilter> pFound;
    EXPECT_HR(S_OK, m_pGraph->FindFilterByName(L"Sink 0001", &pFound));
    EXPECT_EQ(pFound.Get(), static_cast<IBaseFilter*>(pSecond.Get()));
    EXPECT_HR(VFW_E_NOT_FOUND, m_pGraph->FindFilterByName(L"Nobody", &pFound));
    EXPECT_FALSE(pFound);
    ComPtr<IEnumFilters> pEnum;
    EXPECT_HR(E_NOTIMPL, m_pGraph->EnumFilters(&pEnum));
    EXPECT_HR(E_NOTIMPL, m_pGraph->Reconnect(m_pSink->InputPin()));
    EXPECT_EQ(m_pGraph->FilterCount(), 4u);

    // Pins must belong to the graph and face the right way.
    ComPtr<CCollectingSink> pOutsider;
    ASSERT_HR(S_OK, CCollectingSink::Create(MEDIATYPE_Audio, {}, &pOutsider));
    EXPECT_HR(VFW_E_NOT_IN_GRAPH,
              m_pGraph->ConnectDirect(m_pSource->OutputPin(), pOutsider->InputPin(), nullptr));
    EXPECT_HR(VFW_E_INVALID_DIRECTION,
              m_pGraph->ConnectDirect(m_pSink->InputPin(), m_pSource->OutputPin(), nullptr));
    EXPECT_HR(E_POINTER, m_pGraph->ConnectDirect(nullptr, m_pSink->InputPin(), nullptr));

    // The copy filter's output cannot connect before its input.
    const ComPtr<IPin> pCopyIn = PinOf(m_pTransform.Get(), L"In");
    const ComPtr<IPin> pCopyOut = PinOf(m_pTransform.Get(), L"Out");
    EXPECT_FALSE(SUCCEEDED(m_pGraph->ConnectDirect(pCopyOut.Get(), m_pSink->InputPin(), nullptr)));
    ASSERT_HR(S_OK, m_pGraph->ConnectDirect(m_pSource->OutputPin(), pCopyIn.Get(), nullptr));
    EXPECT_HR(VFW_E_ALREADY_CONNECTED,
              m_pGraph->ConnectDirect(m_pSource->OutputPin(), pSecond->InputPin(), nullptr));
    ASSERT_HR(S_OK, m_pGraph->ConnectDirect(pCopyOut.Get(), m_pSink->InputPin(), nullptr));
    AM_MEDIA_TYPE mt{};
    ASSERT_HR(S_OK, m_pSink->InputPin()->ConnectionMediaType(&mt));
    EXPECT_TRUE(CMediaType(mt) == m_mt);
    FreeMediaType(mt);

    // Nothing structural while running.
    ASSERT_HR(S_OK, m_pGraph->Run());
    EXPECT_EQ(m_pGraph->GetState(), State_Running);
    EXPECT_HR(VFW_E_NOT_STOPPED, m_pGraph->Disconnect(m_pSink->InputPin()));
    EXPECT_HR(VFW_E_NOT_STOPPED, m_pGraph->RemoveFilter(pSecond.Get()));
    EXPECT_HR(VFW_E_NOT_STOPPED, m_pGraph->AddFilter(pOutsider.Get(), nullptr));
    ASSERT_HR(S_OK, m_pGraph->Stop());

    // Removal disconnects both ends and leaves the graph.
    EXPECT_HR(S_OK, m_pGraph->RemoveFilter(m_pTransform.Get()));
    EXPECT_HR(VFW_E_NOT_FOUND, m_pGraph->RemoveFilter(m_pTransform.Get()));
    ComPtr<IPin> pPeer;
    EXPECT_HR(VFW_E_NOT_CONNECTED, m_pSource->OutputPin()->ConnectedTo(&pPeer));
    EXPECT_HR(VFW_E_NOT_CONNECTED, m_pSink->InputPin()->ConnectedTo(&pPeer));
    EXPECT_HR(VFW_E_NOT_CONNECTED, pCopyIn->ConnectedTo(&pPeer));
    ASSERT_HR(S_OK, m_pTransform->QueryFilterInfo(&info));
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_HR(S_OK, m_pGraph->AddFilter(pOutsider.Get(), nullptr));
    ASSERT_HR(S_OK, pOutsider->QueryFilterInfo(&info));
    EXPECT_STREQ(info.achName, L"Filter 1");
    info.pGraph->Release();
}

TEST_F(GraphTest, TypesAreNegotiatedAndRefusalsLeavePinsFree) {
    MakeFilters(std::make_unique<CEndlessProvider>(400), {}, false);
    ComPtr<CCollectingSink> pVideoOnly;
    ASSERT_HR(S_OK, CCollectingSink::Create(MEDIATYPE_Video, {}, &pVideoOnly));
    ASSERT_HR(S_OK, m_pGraph->AddFilter(pVideoOnly.Get(), L"Video"));
    EXPECT_FALSE(SUCCEEDED(
        m_pGraph->ConnectDirect(m_pSource->OutputPin(), pVideoOnly->InputPin(), nullptr)));
    const CMediaType other = PcmType(1, 8000, 16);
    EXPECT_HR(VFW_E_TYPE_NOT_ACCEPTED,
              m_pGraph->ConnectDirect(m_pSource->OutputPin(), m_pSink->InputPin(), &other));
    ComPtr<IPin> pPeer;
    EXPECT_HR(VFW_E_NOT_CONNECTED, m_pSource->OutputPin()->ConnectedTo(&pPeer));
    EXPECT_HR(VFW_E_NOT_CONNECTED, m_pSink->InputPin()->ConnectedTo(&pPeer));

    // A partial type is completed from the source's offer; the sink's allocator is used.
    CMediaType partial;
    partial.SetType(&MEDIATYPE_Audio);
    ASSERT_HR(S_OK, m_pGraph->ConnectDirect(m_pSource->OutputPin(), m_pSink->InputPin(), &partial));
    AM_MEDIA_TYPE mt{};
    ASSERT_HR(S_OK, m_pSource->OutputPin()->ConnectionMediaType(&mt));
    EXPECT_TRUE(CMediaType(mt) == m_mt);
    FreeMediaType(mt);
    ComPtr<IMemAllocator> pAlloc;
    ASSERT_HR(S_OK,
              Query<IMemInputPin>(m_pSink->InputPin(), IID_IMemInputPin)->GetAllocator(&pAlloc));
    ALLOCATOR_PROPERTIES props{};
    pAlloc->GetProperties(&props);
    const CPushSource::Options defaults;
    EXPECT_EQ(props.cBuffers, defaults.cBuffers);
    EXPECT_EQ(props.cbBuffer, defaults.cbBuffer);

    // The graph disconnects one pin at a time.
    EXPECT_HR(S_OK, m_pGraph->Disconnect(m_pSink->InputPin()));
    EXPECT_HR(S_FALSE, m_pGraph->Disconnect(m_pSink->InputPin()));
    EXPECT_HR(S_OK, m_pSource->OutputPin()->ConnectedTo(&pPeer));
    pPeer.Reset();
    EXPECT_HR(S_OK, m_pGraph->Disconnect(m_pSource->OutputPin()));
}

TEST_F(GraphTest, SourceToSinkDeliversBytesAndTimeStampsUnchanged) {
    const std::vector<BYTE> data = Pattern(10000 * 4 + 3); // a stray partial frame at the end
    BuildPcm(data, 1000, false);
    ASSERT_HR(S_OK, m_pGraph->Run());
    LONG code = 0;
    ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    ExpectPcmArrivedUnchanged(data, 1000);

    const std::vector<SinkEvent> events = m_pSink->Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_STREQ(events.front().Name(), "segment");
    EXPECT_EQ(events.front().tStart, 0);
    EXPECT_EQ(events.front().tStop, CPcmProvider::FrameTime(10000, 8000));
    EXPECT_EQ(events.front().dRate, 1.0);
    EXPECT_STREQ(events.back().Name(), "eos");
    EXPECT_EQ(m_pSink->Count(SinkEvent::Sample), events.size() - 2);

    const std::vector<GraphEvent> graphEvents = m_pGraph->Events();
    ASSERT_EQ(graphEvents.size(), 1u);
    EXPECT_EQ(graphEvents[0].code, EC_COMPLETE);
    EXPECT_EQ(graphEvents[0].param2,
              reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_pSink.Get())));
    // Forgotten events leave the completion as it was; later ones are recorded afresh.
    m_pGraph->ClearEvents();
    EXPECT_TRUE(m_pGraph->Events().empty());
    EXPECT_HR(S_OK, m_pGraph->WaitForCompletion(0, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_HR(S_OK, m_pGraph->Notify(EC_USERABORT, 0, 0));
    ASSERT_EQ(m_pGraph->Events().size(), 1u);
    EXPECT_EQ(m_pGraph->Events()[0].code, EC_USERABORT);
    EXPECT_HR(S_OK, m_pGraph->Stop());
}

TEST_F(GraphTest, ASinkThatStoresNothingKeepsNoRecordPerSample) {
    // A host's long run: the sink counts samples but its record must not grow with them.
    for (const bool bCallback : {false, true}) {
        CCollectingSink::Options sinkOptions;
        sinkOptions.bStoreSamples = false;
        // Shared with the callback: a test that ends early leaves the sink to the fixture.
        auto cbSeen = std::make_shared<LONG>(0);
        if (bCallback)
            sinkOptions.onSample = [cbSeen](IMediaSample*, const ReceivedSample& s) -> HRESULT {
                *cbSeen += static_cast<LONG>(s.data.size());
                return S_OK;
            };
        CPushSource::Options options;
        options.cbBuffer = 40;
        Build(std::make_unique<CPcmProvider>(FormatOf(m_mt), Pattern(2000 * 4), 40), options, false,
              std::move(sinkOptions));
        ASSERT_HR(S_OK, m_pGraph->Run());
        LONG code = 0;
        ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code));
        EXPECT_EQ(m_pSink->Count(SinkEvent::Sample), 200u);
        EXPECT_TRUE(m_pSink->WaitForSamples(200, 0));
        EXPECT_EQ(m_pSink->EventNames(), (std::vector<std::string>{"segment", "eos"}));
        EXPECT_TRUE(m_pSink->Samples().empty());
        EXPECT_EQ(*cbSeen, bCallback ? 8000 : 0) << "the callback still sees every payload";
        EXPECT_HR(S_OK, m_pGraph->Stop());
        m_pGraph.Reset();
        m_pSource.Reset();
        m_pSink.Reset();
    }
}

TEST_F(GraphTest, ThroughACopyTransformTheStreamIsUnchanged) {
    const std::vector<BYTE> data = Pattern(3000 * 4);
    BuildPcm(data, 1000, true);
    ASSERT_HR(S_OK, m_pGraph->Run());
    LONG code = 0;
    ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    ExpectPcmArrivedUnchanged(data, 1000);
    EXPECT_EQ(m_pSink->EventNames().front(), "segment");
    EXPECT_EQ(m_pSink->EventNames().back(), "eos");
}

TEST_F(GraphTest, CompletionWaitsForRunAndReportsStateAndTimeout) {
    LONG code = 0;
    BuildPcm(Pattern(400), 100, false);
    EXPECT_HR(E_POINTER, m_pGraph->WaitForCompletion(0, nullptr));
    EXPECT_HR(VFW_E_WRONG_STATE, m_pGraph->WaitForCompletion(0, &code));

    // End of stream while paused: EC_COMPLETE only once the graph runs.
    ASSERT_HR(S_OK, m_pGraph->Pause());
    ASSERT_TRUE(m_pSink->WaitForEndOfStream(kHangGuardMs));
    EXPECT_TRUE(m_pGraph->Events().empty());
    ASSERT_HR(S_OK, m_pGraph->Run());
    ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    ASSERT_HR(S_OK, m_pGraph->Stop());
    EXPECT_HR(VFW_E_WRONG_STATE, m_pGraph->WaitForCompletion(kHangGuardMs, &code));
}

TEST_F(GraphTest, AnEndlessStreamTimesOutAndAProviderFailureAborts) {
    Build(std::make_unique<CEndlessProvider>(400), {}, false);
    ASSERT_HR(S_OK, m_pGraph->Run());
    LONG code = 7;
    EXPECT_HR(E_ABORT, m_pGraph->WaitForCompletion(30, &code));
    EXPECT_EQ(code, 0);
    ASSERT_HR(S_OK, m_pGraph->Stop());
    m_pGraph.Reset();
    m_pSource.Reset();
    m_pSink.Reset();

    Build(std::make_unique<CFailingProvider>(2, VFW_E_RUNTIME_ERROR), {}, false);
    ASSERT_HR(S_OK, m_pGraph->Run());
    LONG_PTR param = 0;
    ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code, &param));
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(param, VFW_E_RUNTIME_ERROR);
    ASSERT_TRUE(m_pSink->WaitForEndOfStream(kHangGuardMs)) << "downstream is told the stream ended";
    EXPECT_EQ(m_pSink->Count(SinkEvent::Sample), 2u);
}

TEST_F(GraphTest, StopWhileStreamingEndsTheThreadAndRunStartsItAgain) {
    for (const bool bTransform : {false, true}) {
        SCOPED_TRACE(bTransform ? "with transform" : "direct");
        Build(std::make_unique<CEndlessProvider>(200), {}, bTransform);
        ASSERT_HR(S_OK, m_pGraph->Run());
        WaitForMoreSamples(20);
        ASSERT_HR(S_OK, m_pGraph->Stop());
        EXPECT_EQ(m_pGraph->GetState(), State_Stopped);
        FILTER_STATE state = State_Running;
        m_pSource->GetState(0, &state);
        EXPECT_EQ(state, State_Stopped);

        const size_t cAfterStop = m_pSink->Count(SinkEvent::Sample);
        ASSERT_HR(S_OK, m_pGraph->Pause());
        WaitForMoreSamples(5);
        EXPECT_GT(m_pSink->Count(SinkEvent::Sample), cAfterStop);
        ASSERT_HR(S_OK, m_pGraph->Stop());
        m_pGraph.Reset();
        m_pSource.Reset();
        m_pTransform.Reset();
        m_pSink.Reset();
    }
}

TEST_F(GraphTest, StopWakesASourceWaitingForABuffer) {
    // The sink keeps every sample, so the source soon waits for a buffer that never comes back.
    // Shared with the callback: a test that ends early leaves the sink to the fixture.
    auto held = std::make_shared<std::vector<ComPtr<IMediaSample>>>();
    CCollectingSink::Options sinkOptions;
    sinkOptions.onSample = [held](IMediaSample* pSample, const ReceivedSample&) {
        held->emplace_back(pSample);
        return S_OK;
    };
    CPushSource::Options options;
    options.cBuffers = 3;
    Build(std::make_unique<CEndlessProvider>(200), options, false, std::move(sinkOptions));
    ASSERT_HR(S_OK, m_pGraph->Run());
    ASSERT_TRUE(m_pSink->WaitForSamples(3, kHangGuardMs));
    ASSERT_HR(S_OK, m_pGraph->Stop()); // returns only once the source thread has ended
    EXPECT_EQ(held->size(), 3u);
    held->clear();
}

TEST_F(GraphTest, DestroyingARunningGraphStopsDisconnectsAndReleases) {
    Build(std::make_unique<CEndlessProvider>(200), {}, true);
    ASSERT_HR(S_OK, m_pGraph->Run());
    WaitForMoreSamples(3);
    m_pGraph.Reset();
    FILTER_STATE state = State_Running;
    m_pSource->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    ComPtr<IPin> pPeer;
    EXPECT_HR(VFW_E_NOT_CONNECTED, m_pSource->OutputPin()->ConnectedTo(&pPeer));
    EXPECT_HR(VFW_E_NOT_CONNECTED, PinOf(m_pTransform.Get(), L"Out")->ConnectedTo(&pPeer));
    FILTER_INFO info{};
    ASSERT_HR(S_OK, m_pSink->QueryFilterInfo(&info));
    EXPECT_EQ(info.pGraph, nullptr);
}

// ---- seeking -------------------------------------------------------------------------------

TEST_F(GraphTest, SeekingThroughTheTransformFlushesAndRestartsTheSource) {
    Build(std::make_unique<CEndlessProvider>(800), {}, true);
    const ComPtr<IPin> pCopyOut = PinOf(m_pTransform.Get(), L"Out");
    const ComPtr<IMediaSeeking> pSeeking = Query<IMediaSeeking>(pCopyOut.Get(), IID_IMediaSeeking);
    ASSERT_TRUE(pSeeking);
    const ComPtr<IMediaSeeking> pAgain = Query<IMediaSeeking>(pCopyOut.Get(), IID_IMediaSeeking);
    EXPECT_EQ(pSeeking.Get(), pAgain.Get()) << "one pass-through per pin";
    ComPtr<IMediaSeeking> pNone;
    EXPECT_HR(E_NOINTERFACE,
              PinOf(m_pTransform.Get(), L"In")
                  ->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&pNone)));

    LONGLONG duration = 0;
    ASSERT_HR(S_OK, pSeeking->GetDuration(&duration));
    EXPECT_EQ(duration, 3600 * kSecond);
    ASSERT_HR(S_OK, pSeeking->SetRate(2.0));
    double rate = 0;
    ASSERT_HR(S_OK,
              Query<IMediaSeeking>(m_pSource->OutputPin(), IID_IMediaSeeking)->GetRate(&rate));
    EXPECT_EQ(rate, 2.0) << "the rate reached the source";

    ASSERT_HR(S_OK, m_pGraph->Run());
    WaitForMoreSamples(5);
    LONGLONG target = 2 * kSecond;
    ASSERT_HR(S_OK, pSeeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr,
                                           AM_SEEKING_NoPositioning));
    WaitForMoreSamples(3);
    ASSERT_HR(S_OK, m_pGraph->Stop());

    const std::vector<SinkEvent> events = m_pSink->Events();
    const size_t iBegin = FindEvent(events, SinkEvent::BeginFlush);
    const size_t iEnd = FindEvent(events, SinkEvent::EndFlush, iBegin);
    const size_t iSegment = FindEvent(events, SinkEvent::NewSegment, iEnd);
    const size_t iSample = FindEvent(events, SinkEvent::Sample, iSegment);
    ASSERT_LT(iSample, events.size());
    EXPECT_EQ(FindEvent(events, SinkEvent::BeginFlush, iBegin + 1), events.size()) << "one flush";
    EXPECT_EQ(events[iSegment].tStart, target);
    EXPECT_EQ(events[iSegment].tStop, 3600 * kSecond);
    EXPECT_EQ(events[iSegment].dRate, 2.0);
    const std::vector<ReceivedSample> samples = m_pSink->Samples();
    const ReceivedSample& first = samples.at(events[iSample].iSample);
    EXPECT_TRUE(first.bDiscontinuity);
    EXPECT_EQ(first.tStart, 0) << "times restart with the segment";
    EXPECT_EQ(first.mtStart, 2 * 8000);
    uint16_t value = 0;
    std::memcpy(&value, first.data.data(), 2);
    EXPECT_EQ(value, 16000u);

    LONGLONG current = 0;
    ASSERT_HR(S_OK, pSeeking->GetCurrentPosition(&current));
    EXPECT_GT(current, target);
}

TEST_F(GraphTest, SeekingAStoppedSourceTakesEffectOnTheNextRun) {
    const std::vector<BYTE> data = Pattern(8000 * 4); // one second
    BuildPcm(data, 1000, false);
    const ComPtr<IMediaSeeking> pSeeking =
        Query<IMediaSeeking>(m_pSource->OutputPin(), IID_IMediaSeeking);
    LONGLONG start = kSecond / 2, stop = kSecond * 3 / 4;
    ASSERT_HR(S_OK, pSeeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                           AM_SEEKING_AbsolutePositioning));
    EXPECT_TRUE(m_pSink->Events().empty()) << "no flush while stopped";
    ASSERT_HR(S_OK, m_pGraph->Run());
    LONG code = 0;
    ASSERT_HR(S_OK, m_pGraph->WaitForCompletion(kHangGuardMs, &code));

    const std::vector<SinkEvent> events = m_pSink->Events();
    EXPECT_EQ(events.front().tStart, start);
    EXPECT_EQ(events.front().tStop, stop);
    std::vector<BYTE> joined;
    for (const ReceivedSample& s : m_pSink->Samples())
        joined.insert(joined.end(), s.data.begin(), s.data.end());
    EXPECT_TRUE(joined == std::vector<BYTE>(data.begin() + 4000 * 4, data.begin() + 6000 * 4));
    LONGLONG current = 0, stopNow = 0;
    ASSERT_HR(S_OK, pSeeking->GetPositions(&current, &stopNow));
    EXPECT_EQ(current, stop) << "the segment was delivered to its end";
    EXPECT_EQ(stopNow, stop);
}

TEST_F(GraphTest, SourceSeekingValidatesAndRefusalsChangeNothing) {
    MakeFilters(std::make_unique<CPcmProvider>(FormatOf(m_mt), Pattern(8000 * 4)), {}, false);
    const ComPtr<IMediaSeeking> pSeeking =
        Query<IMediaSeeking>(m_pSource->OutputPin(), IID_IMediaSeeking);
    DWORD caps = 0;
    ASSERT_HR(S_OK, pSeeking->GetCapabilities(&caps));
    EXPECT_EQ(caps, DWORD(AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                          AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                          AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration));
    DWORD wanted = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanPlayBackwards;
    EXPECT_HR(S_FALSE, pSeeking->CheckCapabilities(&wanted));
    EXPECT_EQ(wanted, DWORD(AM_SEEKING_CanSeekAbsolute));
    wanted = AM_SEEKING_CanPlayBackwards;
    EXPECT_HR(E_FAIL, pSeeking->CheckCapabilities(&wanted));

    GUID format{};
    EXPECT_HR(S_OK, pSeeking->GetTimeFormat(&format));
    EXPECT_TRUE(format == TIME_FORMAT_MEDIA_TIME);
    EXPECT_HR(S_FALSE, pSeeking->IsFormatSupported(&TIME_FORMAT_SAMPLE));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetTimeFormat(&TIME_FORMAT_SAMPLE));
    EXPECT_HR(S_OK, pSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME));
    LONGLONG converted = 0;
    EXPECT_HR(S_OK,
              pSeeking->ConvertTimeFormat(&converted, nullptr, 1234, &TIME_FORMAT_MEDIA_TIME));
    EXPECT_EQ(converted, 1234);
    EXPECT_HR(E_INVALIDARG, pSeeking->ConvertTimeFormat(&converted, &TIME_FORMAT_BYTE, 1, nullptr));

    LONGLONG a = kSecond / 4, b = kSecond / 8;
    EXPECT_HR(E_POINTER,
              pSeeking->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    EXPECT_HR(E_INVALIDARG,
              pSeeking->SetPositions(&a, AM_SEEKING_IncrementalPositioning, nullptr, 0));
    EXPECT_HR(VFW_E_START_TIME_AFTER_END,
              pSeeking->SetPositions(&a, AM_SEEKING_AbsolutePositioning, &b,
                                     AM_SEEKING_AbsolutePositioning));
    LONGLONG negative = -1;
    EXPECT_HR(E_INVALIDARG,
              pSeeking->SetPositions(&negative, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetRate(0.0));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetRate(-1.0));
    LONGLONG current = 9, stop = 9;
    ASSERT_HR(S_OK, pSeeking->GetPositions(&current, &stop));
    EXPECT_EQ(current, 0);
    EXPECT_EQ(stop, kSecond) << "refusals changed nothing";
    double rate = 0;
    pSeeking->GetRate(&rate);
    EXPECT_EQ(rate, 1.0);

    // Relative start, incremental stop, and the positions returned.
    LONGLONG rel = kSecond / 4, inc = kSecond / 2;
    ASSERT_HR(S_OK, pSeeking->SetPositions(
                        &rel, AM_SEEKING_RelativePositioning | AM_SEEKING_ReturnTime, &inc,
                        AM_SEEKING_IncrementalPositioning | AM_SEEKING_ReturnTime));
    EXPECT_EQ(rel, kSecond / 4);
    EXPECT_EQ(inc, kSecond * 3 / 4);
    // Steps past the ends of the range of times are refused, the positions kept.
    const LONGLONG kMax = std::numeric_limits<LONGLONG>::max();
    const LONGLONG kMin = std::numeric_limits<LONGLONG>::min();
    LONGLONG end = kMax, step = 1, back = kMin;
    EXPECT_HR(E_INVALIDARG, pSeeking->SetPositions(&end, AM_SEEKING_RelativePositioning, nullptr,
                                                   AM_SEEKING_NoPositioning));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &end,
                                                   AM_SEEKING_RelativePositioning));
    // Far back is no overflow from a positive time: a start after the stop.
    EXPECT_HR(VFW_E_START_TIME_AFTER_END,
              pSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &back,
                                     AM_SEEKING_RelativePositioning));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetPositions(&rel, AM_SEEKING_AbsolutePositioning, &end,
                                                   AM_SEEKING_IncrementalPositioning));
    ASSERT_HR(S_OK, pSeeking->GetPositions(&current, &stop));
    EXPECT_EQ(current, kSecond / 4);
    EXPECT_EQ(stop, kSecond * 3 / 4);
    // At the last time of all, a step of one unit more is refused; one to it is taken.
    ASSERT_HR(S_OK, pSeeking->SetPositions(&end, AM_SEEKING_AbsolutePositioning, &end,
                                           AM_SEEKING_AbsolutePositioning));
    EXPECT_HR(E_INVALIDARG, pSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &step,
                                                   AM_SEEKING_RelativePositioning));
    LONGLONG none = 0;
    EXPECT_HR(S_OK, pSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &none,
                                           AM_SEEKING_RelativePositioning));
    ASSERT_HR(S_OK, pSeeking->GetPositions(&current, &stop));
    EXPECT_EQ(current, kMax);
    EXPECT_EQ(stop, kMax);

    LONGLONG earliest = 1, latest = 0;
    ASSERT_HR(S_OK, pSeeking->GetAvailable(&earliest, &latest));
    EXPECT_EQ(earliest, 0);
    EXPECT_EQ(latest, kSecond);

    // A source whose provider cannot seek says so.
    ComPtr<CPushSource> pFixed;
    ASSERT_HR(S_OK, CPushSource::Create(m_mt, std::make_unique<CFailingProvider>(1, E_FAIL), {},
                                        &pFixed));
    const ComPtr<IMediaSeeking> pFixedSeeking =
        Query<IMediaSeeking>(pFixed->OutputPin(), IID_IMediaSeeking);
    ASSERT_HR(S_OK, pFixedSeeking->GetCapabilities(&caps));
    EXPECT_EQ(caps & AM_SEEKING_CanSeekAbsolute, 0u);
    EXPECT_HR(E_NOTIMPL,
              pFixedSeeking->SetPositions(&a, AM_SEEKING_AbsolutePositioning, nullptr, 0));

    EXPECT_HR(E_POINTER, CPushSource::Create(m_mt, nullptr, {}, &pFixed));
    EXPECT_HR(E_INVALIDARG, CPushSource::Create(CMediaType(), std::make_unique<CEndlessProvider>(2),
                                                {}, &pFixed));
    EXPECT_FALSE(pFixed);
}

// ---- the PCM provider ----------------------------------------------------------------------

TEST(PcmProviderTest, FramesTimesAndSeekRounding) {
    EXPECT_EQ(CPcmProvider::FrameTime(44100, 44100), kSecond);
    EXPECT_EQ(CPcmProvider::FrameTime(1, 44100), 226) << "rounded down";
    EXPECT_EQ(CPcmProvider::FrameTime(441000000000LL, 44100), 10000000 * kSecond) << "no overflow";

    const CMediaType mt = PcmType(1, 8000, 8);
    CPcmProvider provider(FormatOf(mt), Pattern(100), 30);
    EXPECT_EQ(provider.Duration(), CPcmProvider::FrameTime(100, 8000));
    BYTE buffer[64];
    SourceChunk chunk;
    ASSERT_HR(S_OK, provider.FillBuffer(buffer, 64, &chunk));
    EXPECT_EQ(chunk.cbData, 30) << "the chunk limit";
    EXPECT_TRUE(chunk.bDiscontinuity);
    ASSERT_HR(S_OK, provider.FillBuffer(buffer, 20, &chunk));
    EXPECT_EQ(chunk.cbData, 20) << "the buffer limit";
    EXPECT_FALSE(chunk.bDiscontinuity);
    EXPECT_EQ(chunk.mtStart, 30);
    EXPECT_EQ(chunk.tStart, CPcmProvider::FrameTime(30, 8000));

    // Start rounds down to a frame, stop rounds up; times restart with the segment.
    ASSERT_HR(S_OK, provider.SeekTo(CPcmProvider::FrameTime(10, 8000) + 1,
                                    CPcmProvider::FrameTime(20, 8000) + 1));
    ASSERT_HR(S_OK, provider.FillBuffer(buffer, 64, &chunk));
    EXPECT_EQ(chunk.mtStart, 10);
    EXPECT_EQ(chunk.mtStop, 21);
    EXPECT_EQ(chunk.tStart, 0);
    EXPECT_TRUE(chunk.bDiscontinuity);
    EXPECT_EQ(std::memcmp(buffer, Pattern(100).data() + 10, 11), 0);
    EXPECT_HR(S_FALSE, provider.FillBuffer(buffer, 64, &chunk));
    EXPECT_HR(E_INVALIDARG, provider.SeekTo(-1, 0));
    EXPECT_HR(E_INVALIDARG, provider.SeekTo(5, 4));
    EXPECT_HR(S_OK, provider.SeekTo(kSecond * 100, 0x7FFFFFFFFFFFFFFFLL));
    EXPECT_HR(S_FALSE, provider.FillBuffer(buffer, 64, &chunk)) << "beyond the end";

    CPcmProvider stereo(FormatOf(PcmType(2, 8000, 16)), Pattern(40));
    EXPECT_HR(E_INVALIDARG, stereo.FillBuffer(buffer, 3, &chunk)) << "smaller than a frame";
    EXPECT_HR(E_POINTER, stereo.FillBuffer(nullptr, 3, &chunk));
    WAVEFORMATEX broken = FormatOf(mt);
    broken.nBlockAlign = 0;
    CPcmProvider none(broken, Pattern(40));
    EXPECT_HR(E_UNEXPECTED, none.FillBuffer(buffer, 64, &chunk));
}

} // namespace
