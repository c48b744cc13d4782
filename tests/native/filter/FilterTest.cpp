#include "FilterTest.h"

#include <ftw.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

CChunkProvider::CChunkProvider(const WAVEFORMATEX& wfx, std::vector<uint8_t> data, LONG cbChunk,
                               Hook hook)
    : m_wfx(wfx), m_Data(std::move(data)), m_cbChunk(cbChunk - cbChunk % wfx.nBlockAlign),
      m_Hook(std::move(hook)) {}

HRESULT CChunkProvider::FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) {
    if (m_Offset >= m_Data.size())
        return S_FALSE;
    LONG cb =
        std::min<LONG>(std::min(m_cbChunk, cbBuffer), static_cast<LONG>(m_Data.size() - m_Offset));
    const LONGLONG frame = static_cast<LONGLONG>(m_Offset / m_wfx.nBlockAlign);
    pChunk->bTimeValid = true;
    pChunk->tStart = CPcmProvider::FrameTime(frame, m_wfx.nSamplesPerSec);
    pChunk->tStop = CPcmProvider::FrameTime(frame + cb / m_wfx.nBlockAlign, m_wfx.nSamplesPerSec);
    pChunk->bMediaTimeValid = true;
    pChunk->mtStart = frame;
    pChunk->mtStop = frame + cb / m_wfx.nBlockAlign;
    pChunk->bSyncPoint = true;
    pChunk->bDiscontinuity = m_Chunk == 0;
    pChunk->cbData = cb;
    if (m_Hook)
        m_Hook(m_Chunk, *pChunk);
    cb = std::min(pChunk->cbData, cb);
    std::memcpy(pBuffer, m_Data.data() + m_Offset, static_cast<size_t>(cb));
    m_Offset += static_cast<size_t>(cb);
    ++m_Chunk;
    return S_OK;
}

REFERENCE_TIME CChunkProvider::Duration() const noexcept {
    return CPcmProvider::FrameTime(static_cast<LONGLONG>(m_Data.size() / m_wfx.nBlockAlign),
                                   m_wfx.nSamplesPerSec);
}

CModuleLoader& FilterTest::Module() {
    static CModuleLoader loader;
    if (!loader.Load(VELOMIX_MODULE_PATH))
        ADD_FAILURE() << loader.Error();
    return loader;
}

void FilterTest::SetUp() {
    char folder[] = "/tmp/velomix-filter-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    m_ConfigHome = folder;
    setenv("XDG_CONFIG_HOME", m_ConfigHome.c_str(), 1);
    m_cObjectsAtStart = CBaseObject::ObjectsActive();
    ASSERT_HR(S_OK, Module().CanUnloadNow()) << "an earlier test left an object alive";
}

void FilterTest::TearDown() {
    EXPECT_HR(S_OK, Module().CanUnloadNow()) << "the module still has live objects";
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjectsAtStart) << "test objects leaked";
    nftw(
        m_ConfigHome.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
    unsetenv("XDG_CONFIG_HOME");
}

void FilterTest::WriteSettings(const std::string& text) {
    const std::string folder = SettingsFolder();
    mkdir((m_ConfigHome + "/Korvane").c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    std::ofstream(folder + "/VELO.INI") << text;
}

ComPtr<IBaseFilter> FilterTest::CreateFilter() {
    ComPtr<IClassFactory> factory;
    EXPECT_HR(S_OK, Module().GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
    ComPtr<IBaseFilter> filter;
    if (factory) {
        EXPECT_HR(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter,
                                                reinterpret_cast<void**>(&filter)));
    }
    return filter;
}

ComPtr<IPin> FilterTest::Pin(IBaseFilter* pFilter, const wchar_t* id) {
    ComPtr<IPin> pin;
    EXPECT_HR(S_OK, pFilter->FindPin(id, &pin));
    return pin;
}

ComPtr<IVelomixProp> FilterTest::Prop(IBaseFilter* pFilter) {
    ComPtr<IVelomixProp> prop;
    EXPECT_HR(S_OK, pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
    return prop;
}

FilterTest::Chain FilterTest::BuildChain(const CMediaType& mt,
                                         std::unique_ptr<CSampleProvider> provider, LONG cbBuffer,
                                         LONG cBuffers, CCollectingSink::Options sinkOptions) {
    Chain c;
    EXPECT_HR(S_OK, CFilterGraph::Create(&c.graph));
    CPushSource::Options options;
    options.cbBuffer = cbBuffer;
    options.cBuffers = cBuffers;
    EXPECT_HR(S_OK, CPushSource::Create(mt, std::move(provider), options, &c.source));
    EXPECT_HR(S_OK, CCollectingSink::Create(MEDIATYPE_Audio, std::move(sinkOptions), &c.sink));
    c.filter = CreateFilter();
    if (!c.graph || !c.source || !c.sink || !c.filter)
        return c;
    c.prop = Prop(c.filter.Get());
    EXPECT_HR(S_OK, c.graph->AddFilter(c.source.Get(), L"source"));
    EXPECT_HR(S_OK, c.graph->AddFilter(c.filter.Get(), L"Velomix"));
    EXPECT_HR(S_OK, c.graph->AddFilter(c.sink.Get(), L"sink"));
    EXPECT_HR(S_OK, c.graph->ConnectDirect(c.source->OutputPin(), Pin(c.filter.Get(), L"In").Get(),
                                           nullptr));
    EXPECT_HR(S_OK, c.graph->ConnectDirect(Pin(c.filter.Get(), L"Out").Get(), c.sink->InputPin(),
                                           nullptr));
    return c;
}

HRESULT FilterTest::SinkHold::OnSample() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bHeld = true;
    m_cv.notify_all();
    // Bounded, so that a test that never opens the hold fails instead of hanging the suite.
    if (!m_cv.wait_for(lock, std::chrono::seconds(60), [this] { return m_bOpen; }))
        return E_ABORT;
    return S_OK;
}

bool FilterTest::SinkHold::WaitUntilHeld(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_bHeld; });
}

void FilterTest::SinkHold::Open() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
    }
    m_cv.notify_all();
}

FilterTest::Chain FilterTest::BuildHeldChain(const CMediaType& mt,
                                             std::unique_ptr<CSampleProvider> provider,
                                             LONG cbBuffer) {
    auto hold = std::make_shared<SinkHold>();
    CCollectingSink::Options options;
    options.onSample = [hold](IMediaSample*, const ReceivedSample&) { return hold->OnSample(); };
    Chain c = BuildChain(mt, std::move(provider), cbBuffer, 4, std::move(options));
    c.hold = std::move(hold);
    return c;
}

void FilterTest::RunToEnd(Chain& c, DWORD timeoutMs) {
    ASSERT_HR(S_OK, c.graph->Run());
    LONG code = 0;
    EXPECT_HR(S_OK, c.graph->WaitForCompletion(timeoutMs, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_HR(S_OK, c.graph->Stop());
}

void FilterTest::SeekWhileHeld(Chain& c, LONGLONG position) {
    ASSERT_TRUE(c.hold) << "a chain from BuildHeldChain";
    ASSERT_HR(S_OK, c.graph->Run());
    ASSERT_TRUE(c.hold->WaitUntilHeld(10000));
    ComPtr<IMediaSeeking> seeking;
    ASSERT_HR(S_OK, Pin(c.filter.Get(), L"Out")
                        ->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)));
    std::thread seeker([&seeking, position]() mutable {
        EXPECT_HR(S_OK, seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                              AM_SEEKING_NoPositioning));
    });
    // Let the held sample go once the flush has reached the sink (the sink offers no wait for it).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (c.sink->Count(SinkEvent::BeginFlush) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    c.hold->Open();
    seeker.join();
    EXPECT_TRUE(c.sink->WaitForEndOfStream(10000));
    EXPECT_HR(S_OK, c.graph->Stop());
}

std::vector<uint8_t> FilterTest::Output(const Chain& c) {
    std::vector<uint8_t> out;
    for (const ReceivedSample& s : c.sink->Samples())
        out.insert(out.end(), s.data.begin(), s.data.end());
    return out;
}

void FilterTest::Release(Chain& c) {
    // Only a test that failed part-way leaves the stream held or running.
    if (c.hold)
        c.hold->Open();
    if (c.graph && c.graph->GetState() != State_Stopped) {
        EXPECT_HR(S_OK, c.graph->Stop());
    }
    c.prop.Reset();
    c.filter.Reset();
    c.source.Reset();
    c.sink.Reset();
    c.graph.Reset(); // disconnects and releases its filters
    c.hold.reset();
}
