// velomix_example: how a player drives Velomix. Builds a DirectShow graph for a media file with
// RenderFile (the registered filter inserts itself before the audio renderer), finds the
// filter in the graph, sets its tempo through IVelomixProp and reads it back.
//
// Usage: velomix_example FILE [TEMPO]      (TEMPO: factor, 0.05 to 50; default 1.25)
// Build with mingw-w64 (g++ being i686-w64-mingw32-g++ or x86_64-w64-mingw32-g++ when cross
// compiling, <kit> the kit's folder; the source is plain C++11): -municode because the entry is
// wmain, -static so that the program needs none of the compiler's own DLLs.
//   g++ -municode -static -I<kit>/include -o velomix_example velomix_example.cpp -lole32 -lstrmiids
// Exit status 0 when the filter was found and took the tempo.
#include <initguid.h> // defines the kit's GUIDs in this one source file

#include <dshow.h>
#include <velomix.h>

#include <cstdio>
#include <cwchar>
#include <cstdlib>

namespace {

// Owns one COM reference.
template <typename T> class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Reset(); }
    void Reset() {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    T* operator->() const { return p_; }
    T* Get() const { return p_; }

private:
    T* p_ = nullptr;
};

// Balances CoInitializeEx on this thread.
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "velomix_example: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: velomix_example FILE [TEMPO]\n");
        return 2;
    }
    double tempo = 1.25;
    if (argc == 3) {
        wchar_t* end = nullptr;
        tempo = std::wcstod(argv[2], &end);
        if (end == argv[2] || *end != L'\0') {
            std::fprintf(stderr, "velomix_example: TEMPO is not a number\n");
            return 2;
        }
    }

    ComScope com;
    if (FAILED(com.Result()))
        return Fail("CoInitializeEx failed", com.Result());

    Ref<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGraphBuilder, graph.OutVoid());
    if (FAILED(hr))
        return Fail("no filter graph", hr);
    hr = graph->RenderFile(argv[1], nullptr);
    if (FAILED(hr))
        return Fail("RenderFile failed", hr);

    // The filter by its class: a graph may hold it once per audio stream; take the first.
    Ref<IEnumFilters> filters;
    hr = graph->EnumFilters(filters.Out());
    if (FAILED(hr))
        return Fail("EnumFilters failed", hr);
    Ref<IVelomixProp> control;
    int count = 0;
    for (;;) {
        Ref<IBaseFilter> filter;
        if (filters->Next(1, filter.Out(), nullptr) != S_OK)
            break;
        CLSID clsid;
        if (SUCCEEDED(filter->GetClassID(&clsid)) && IsEqualCLSID(clsid, CLSID_Velomix)) {
            ++count;
            if (!control.Get())
                filter->QueryInterface(IID_IVelomixProp, control.OutVoid());
        }
    }
    if (!control.Get()) {
        std::fprintf(stderr, "velomix_example: Velomix is not in the graph; is it installed?\n");
        return 1;
    }

    hr = control->SetTempo(tempo);
    if (hr == E_INVALIDARG) {
        std::fprintf(stderr, "velomix_example: tempo %g is outside %g to %g\n", tempo,
                     VELOMIX_FACTOR_MIN, VELOMIX_FACTOR_MAX);
        return 1;
    }
    if (FAILED(hr))
        return Fail("SetTempo failed", hr);
    double now = 0;
    hr = control->GetTempo(&now);
    if (FAILED(hr))
        return Fail("GetTempo failed", hr);

    // Where the filter came from: the module this process loaded for it.
    wchar_t path[MAX_PATH] = L"?";
    if (HMODULE module = GetModuleHandleW(L"Velomix.ax"))
        GetModuleFileNameW(module, path, MAX_PATH);
    // As UTF-8: %ls would need the C locale to know every character of the folder's name.
    char utf8[4 * MAX_PATH] = "?";
    WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::printf("filters %d\ntempo %g\nmodule %s\n", count, now, utf8);
    // A player would now Run the graph (IMediaControl); the tempo applies from the first sample.
    return now == tempo ? 0 : 1;
}
