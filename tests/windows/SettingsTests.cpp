// The settings file in the local application-data (low integrity) folder, as a player's filter
// finds it: the folder is made with the filter, and each "INIT" key and the "SPEED" tuning
// change what the engine produces.
#include "CaptureSink.h"
#include "Harness.h"
#include "IVelomixProp.h"
#include "Support.h"

#include <shlobj.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IBaseFilter> source, parser, filter;
    ComPtr<CCaptureSink> sink;
};

ComPtr<IBaseFilter> PlatformFilter(REFCLSID clsid) {
    ComPtr<IBaseFilter> p;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&p));
    return p;
}

// Runs the file through a new filter at the given tempo and rate; returns what it delivered.
std::vector<uint8_t> Process(const CModule& module, const std::wstring& wav, double tempo, double rate) {
    Graph g;
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(&g.builder)));
    REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&g.control)));
    REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&g.events)));
    g.source = PlatformFilter(CLSID_AsyncReader);
    g.parser = PlatformFilter(kClsidWaveParser);
    g.filter = module.CreateFilter();
    g.sink = CCaptureSink::Create();
    REQUIRE(g.source && g.parser && g.filter && g.sink, "the four filters are created");
    ComPtr<IFileSourceFilter> file;
    REQUIRE_HR(S_OK, g.source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&file)));
    REQUIRE_HR(S_OK, file->Load(wav.c_str(), nullptr));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.source.Get(), L"Source"));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.parser.Get(), L"Wave Parser"));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.filter.Get(), L"Velomix"));
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.sink.Get(), L"Capture"));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(FindPinByDirection(g.source.Get(), PINDIR_OUTPUT).Get(),
                                              FindPinByDirection(g.parser.Get(), PINDIR_INPUT).Get(), nullptr));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(FindPinByDirection(g.parser.Get(), PINDIR_OUTPUT).Get(),
                                              FindPinById(g.filter.Get(), L"In").Get(), nullptr));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(FindPinById(g.filter.Get(), L"Out").Get(),
                                              FindPinById(g.sink.Get(), L"Capture").Get(), nullptr));
    ComPtr<IVelomixProp> prop;
    REQUIRE_HR(S_OK, g.filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
    REQUIRE_HR(S_OK, prop->SetTempo(tempo));
    REQUIRE_HR(S_OK, prop->SetRate(rate));
    REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
    long code = 0;
    REQUIRE_HR(S_OK, g.events->WaitForCompletion(30000, &code));
    REQUIRE(code == EC_COMPLETE, "the graph completes: event %ld", code);
    CHECK_HR(S_OK, g.control->Stop());
    return g.sink->Log().bytes;
}

std::wstring SettingsFolder() {
    PWSTR base = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &base)))
        return {};
    std::wstring folder = std::wstring(base) + L"\\Korvane\\Player";
    CoTaskMemFree(base);
    return folder;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

VMX_TEST(settings, settings_file_tunes_the_engine) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    const std::wstring folder = SettingsFolder();
    REQUIRE(!folder.empty(), "the local application-data (low integrity) folder is known");
    const std::wstring ini = folder + L"\\VELO.INI";
    DeleteFileW(ini.c_str());
    RemoveDirectoryW(folder.c_str());
    REQUIRE(!IsFolder(folder), "no settings folder before the filter");
    {
        ComPtr<IBaseFilter> filter = module.CreateFilter();
        REQUIRE(filter, "a filter is made");
    }
    CHECK(IsFolder(folder), "the settings folder is made with the filter, without a settings file");

    CTempFolder temp;
    const std::wstring wav = temp.File(L"tone.wav");
    REQUIRE(WriteWav(wav, SineSignal(2 * 44100, 440.0, 1250.0, 44100)), "the test file is written");
    auto with = [&](const char* text, double tempo, double rate) {
        if (text) {
            std::ofstream(ini.c_str(), std::ios::binary) << text;
        } else {
            DeleteFileW(ini.c_str());
        }
        return Process(module, wav, tempo, rate);
    };

    // Tempo 1.5 runs with quick seek and the "1.6" tuning.
    const std::vector<uint8_t> fast = with(nullptr, 1.5, 1.0);
    REQUIRE(!fast.empty(), "output at tempo 1.5");
    CHECK(with(nullptr, 1.5, 1.0) == fast, "the same settings give the same output");
    CHECK(with("[INIT]\r\nFAST=1\r\n", 1.5, 1.0) == fast, "the defaults written out change nothing");
    CHECK(with("[INIT]\r\nFAST=0\r\n", 1.5, 1.0) != fast, "FAST=0 turns quick seek off");
    CHECK(with("[SPEED]\r\n1.6=40,10,8\r\n", 1.5, 1.0) != fast, "the \"1.6\" tuning is read");
    CHECK(with("[SPEED]\r\n1.2=40,10,8\r\n", 1.5, 1.0) == fast, "another band's tuning does not apply");

    // Rate 1.25 runs through the anti-alias filter.
    const std::vector<uint8_t> rated = with(nullptr, 1.0, 1.25);
    const std::vector<uint8_t> noFilter = with("[INIT]\r\nHIGH_EFFECT=0\r\n", 1.0, 1.25);
    CHECK(noFilter != rated, "HIGH_EFFECT=0 turns the anti-alias filter off");
    CHECK(with("[INIT]\r\nHIGH_EFFECT_LEN=64\r\n", 1.0, 1.25) != rated, "HIGH_EFFECT_LEN sets its length");
    CHECK(with("[INIT]\r\nHIGH_EFFECT=0\r\nHIGH_EFFECT_LEN=64\r\n", 1.0, 1.25) == noFilter,
          "the length does not matter with the filter off");
    CHECK(with("[INIT]\r\nHIGH_EFFECT_LEN=33\r\n", 1.0, 1.25) == rated,
          "a length the engine refuses falls back to 32");

    DeleteFileW(ini.c_str());
    CHECK_HR(S_OK, module.CanUnloadNow());
}
