#include "Graphs.h"

namespace {

ComPtr<IBaseFilter> CreatePlatformFilter(REFCLSID clsid) {
    ComPtr<IBaseFilter> p;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&p))))
        return {};
    return p;
}

} // namespace

void RequireGraph(PlatformGraph& g) {
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGraphBuilder, reinterpret_cast<void**>(&g.builder)));
    REQUIRE_HR(S_OK,
               g.builder->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&g.control)));
    REQUIRE_HR(S_OK,
               g.builder->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&g.events)));
}

void RequireCompletion(IMediaEvent* pEvents) {
    long code = 0;
    const HRESULT hr = pEvents->WaitForCompletion(30000, &code);
    REQUIRE(hr == S_OK && code == EC_COMPLETE,
            "the graph completes: WaitForCompletion %s, event %ld", vmxtest::Hex(hr).c_str(), code);
}

CaptureGraph BuildCaptureGraph(const CModule& module, const std::wstring& wavPath) {
    CaptureGraph g;
    RequireGraph(g);

    g.source = CreatePlatformFilter(CLSID_AsyncReader);
    REQUIRE(g.source, "the platform's file source is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.source.Get(), L"Source"));
    ComPtr<IFileSourceFilter> pFile;
    REQUIRE_HR(S_OK,
               g.source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&pFile)));
    REQUIRE_HR(S_OK, pFile->Load(wavPath.c_str(), nullptr));

    g.parser = CreatePlatformFilter(kClsidWaveParser);
    REQUIRE(g.parser, "the platform's wave parser is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.parser.Get(), L"Wave Parser"));

    g.filter = RequireFilter(module, "Velomix is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.filter.Get(), L"Velomix"));
    g.prop = RequireProp(g.filter.Get());

    g.sink = CCaptureSink::Create();
    REQUIRE(g.sink, "the capture sink is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.sink.Get(), L"Capture"));

    ComPtr<IPin> pSourceOut = FindPinByDirection(g.source.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> pParserIn = FindPinByDirection(g.parser.Get(), PINDIR_INPUT);
    REQUIRE(pSourceOut && pParserIn, "source output and parser input pins");
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pSourceOut.Get(), pParserIn.Get(), nullptr));
    // The parser makes its output pin once it has read the file's header.
    ComPtr<IPin> pParserOut = FindPinByDirection(g.parser.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> pIn = FindPinById(g.filter.Get(), L"In");
    ComPtr<IPin> pOut = FindPinById(g.filter.Get(), L"Out");
    ComPtr<IPin> pCapture = FindPinById(g.sink.Get(), L"Capture");
    REQUIRE(pParserOut && pIn && pOut && pCapture, "parser output, Velomix and capture pins");
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pParserOut.Get(), pIn.Get(), nullptr));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pOut.Get(), pCapture.Get(), nullptr));
    return g;
}

void RunToCompletion(CaptureGraph& g) {
    REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
    RequireCompletion(g.events.Get());
}

void TearDown(CaptureGraph& g) {
    if (g.control)
        CHECK_HR(S_OK, g.control->Stop());
    g.prop.Reset();
    g.control.Reset();
    g.events.Reset();
    g.source.Reset();
    g.parser.Reset();
    g.sink.Reset();
    g.builder.Reset();
    ReleaseLast(g.filter, "the graph gave back every reference to Velomix");
}

SourceGraph BuildSourceGraph(const CModule& module, const CMediaType& mt, LONG cbBuffer) {
    SourceGraph g;
    RequireGraph(g);
    g.source = CSampleSource::Create(mt, cbBuffer);
    REQUIRE(g.source, "the tests' source is created");
    g.filter = RequireFilter(module, "Velomix is created");
    g.prop = RequireProp(g.filter.Get());
    g.sink = CCaptureSink::Create();
    REQUIRE(g.sink, "the capture sink is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.source.Get(), L"Source"));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.filter.Get(), L"Velomix"));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.sink.Get(), L"Capture"));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(FindPinById(g.source.Get(), L"Out").Get(),
                                              FindPinById(g.filter.Get(), L"In").Get(), nullptr));
    REQUIRE_HR(S_OK,
               g.builder->ConnectDirect(FindPinById(g.filter.Get(), L"Out").Get(),
                                        FindPinById(g.sink.Get(), L"Capture").Get(), nullptr));
    return g;
}

void RunSourceGraph(SourceGraph& g) {
    REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
    OAFilterState state = State_Stopped;
    REQUIRE(g.control->GetState(10000, &state) == S_OK && state == State_Running,
            "the graph runs: state %ld", static_cast<long>(state));
}

CaptureLog CompleteSourceGraph(SourceGraph& g) {
    RequireCompletion(g.events.Get());
    CHECK_HR(S_OK, g.control->Stop());
    CaptureLog log = g.sink->Log();
    g.prop.Reset();
    g.control.Reset();
    g.events.Reset();
    g.source.Reset();
    g.sink.Reset();
    g.builder.Reset();
    ReleaseLast(g.filter, "the graph gave back every reference to Velomix");
    return log;
}

RenderedGraph RenderWav(const std::wstring& wavPath) {
    RenderedGraph g;
    RequireGraph(g);
    REQUIRE_HR(S_OK, g.builder->RenderFile(wavPath.c_str(), nullptr));
    ComPtr<IEnumFilters> pEnum;
    REQUIRE_HR(S_OK, g.builder->EnumFilters(&pEnum));
    int cVelomix = 0;
    for (IBaseFilter* p = nullptr; pEnum->Next(1, &p, nullptr) == S_OK;) {
        ComPtr<IBaseFilter> pFilter = ComPtr<IBaseFilter>::Attach(p);
        if (IsEqualGUID(ClassOf(pFilter.Get()), CLSID_Velomix)) {
            ++cVelomix;
            g.velomix = pFilter;
        }
    }
    REQUIRE(cVelomix == 1, "exactly one Velomix in the rendered graph: %d", cVelomix);
    return g;
}
