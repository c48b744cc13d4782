// Registration on the real platform: regsvr32 and the platform's filter mapper write the
// entries, the registry API reads them back, and the platform's graph builder then finds the
// filter by merit when it renders a WAV file.
//
// Each case leaves the prefix as it found it: unregistered, no installation record.
#include "FilterData.h"
#include "FilterMapper.h"
#include "GuidText.h"
#include "Harness.h"
#include "IVelomixProp.h"
#include "MediaType.h"
#include "Registry.h"
#include "Support.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kInstallKey[] = "SOFTWARE\\Classes\\CLSID\\{8294CF21-9550-45fb-9CF4-E96E375D2964}";
const char kInstallVersionKey[] =
    "SOFTWARE\\Classes\\CLSID\\{8294CF21-9550-45fb-9CF4-E96E375D2964}\\InstalledVersion";

// The module's filter registration record, as published: what the platform's mapper must have
// been given.
const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM},
                                           {&MEDIATYPE_Audio, &MEDIASUBTYPE_IEEE_FLOAT}};
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Input"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output", 2,
     kPinTypes},
    {const_cast<LPWSTR>(L"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input", 2, kPinTypes},
};
const AMOVIESETUP_FILTER kSetup = {&kClsidVelomix, L"Velomix", 0xFFFFFFFF, 2, kPins};

std::string Ansi(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// A REG_SZ value, or "(missing)".
std::string ReadString(RegHive hive, const std::string& key, const std::string& name) {
    CRegKey k;
    std::string text;
    if (k.OpenForRead(hive, key) != ERROR_SUCCESS || k.QueryString(name, &text) != ERROR_SUCCESS)
        return "(missing)";
    return text;
}

bool KeyExists(RegHive hive, const std::string& key) {
    CRegKey k;
    return k.OpenForRead(hive, key) == ERROR_SUCCESS;
}

std::string ClassKey(REFCLSID clsid) {
    return "CLSID\\" + GuidString(clsid);
}

bool SameFile(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::vector<BYTE> FilterDataOf(REFCLSID clsid) {
    CRegKey key;
    DWORD type = 0;
    std::vector<BYTE> data;
    if (key.OpenForRead(RegHive::ClassesRoot, FilterInstanceKey(clsid)) != ERROR_SUCCESS ||
        key.QueryValue("FilterData", &type, &data) != ERROR_SUCCESS || type != REG_BINARY)
        data.clear();
    return data;
}

} // namespace

VMX_TEST(registration, regsvr32_writes_and_removes_the_entries) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax is beside the test program");
    const std::string path = Ansi(module.Path());
    const CCleanPrefix clean(module.Path());

    REQUIRE(RunRegsvr32(module.Path(), false) == 0, "regsvr32 /s Velomix.ax succeeds");

    // COM in-process server entries of both classes.
    const struct {
        const GUID* clsid;
        const char* name;
    } classes[] = {{&kClsidVelomix, "Velomix"}, {&kClsidVelomixProp1, "Velomix Property Page"}};
    for (const auto& c : classes) {
        const std::string key = ClassKey(*c.clsid);
        CHECK(ReadString(RegHive::ClassesRoot, key, "") == c.name,
              "%s default value \"%s\": got \"%s\"", key.c_str(), c.name,
              ReadString(RegHive::ClassesRoot, key, "").c_str());
        const std::string server = ReadString(RegHive::ClassesRoot, key + "\\InprocServer32", "");
        CHECK(SameFile(server, path), "%s\\InprocServer32 is the module file %s: got %s",
              key.c_str(), path.c_str(), server.c_str());
        CHECK(ReadString(RegHive::ClassesRoot, key + "\\InprocServer32", "ThreadingModel") ==
                  "Both",
              "%s ThreadingModel \"Both\"", key.c_str());
    }

    // The platform mapper's entry: our reader finds it, and its bytes are exactly what the native
    // mapper store writes for the same record.
    const std::string entry = FilterInstanceKey(kClsidVelomix);
    CHECK(ReadString(RegHive::ClassesRoot, entry, "FriendlyName") == "Velomix",
          "%s FriendlyName \"Velomix\"", entry.c_str());
    const std::vector<BYTE> written = FilterDataOf(kClsidVelomix);
    CHECK(written == EncodeFilterData(kSetup),
          "FilterData written by the platform's mapper (%u bytes) equals the native encoding of "
          "the record",
          static_cast<unsigned>(written.size()));
    FilterDataRecord record;
    REQUIRE(DecodeFilterData(written.data(), written.size(), &record),
            "the platform's FilterData decodes");
    CHECK(record.dwMerit == 0xFFFFFFFF, "merit 0xFFFFFFFF: got 0x%08lX",
          static_cast<unsigned long>(record.dwMerit));
    CHECK(record.pins.size() == 2 && record.pins[0].dwFlags == 0 &&
              record.pins[1].dwFlags == kPinFlagOutput,
          "an input pin, then an output pin");
    std::vector<FilterMapperEntry> found;
    CHECK_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &found));
    CHECK(!found.empty() && IsEqualGUID(found[0].clsid, kClsidVelomix),
          "Velomix comes first for audio PCM (%u filters found)",
          static_cast<unsigned>(found.size()));
    CHECK_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT, &found));
    CHECK(!found.empty() && IsEqualGUID(found[0].clsid, kClsidVelomix),
          "Velomix comes first for audio float (%u filters found)",
          static_cast<unsigned>(found.size()));

    // The installation record in both hives.
    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
        const char* name =
            hive == RegHive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
        CHECK(ReadString(hive, kInstallKey, "") == "VELO", "%s record default \"VELO\"", name);
        CHECK(ReadString(hive, kInstallVersionKey, "") == "3,0,0,1",
              "%s InstalledVersion \"3,0,0,1\"", name);
        const std::string recorded = ReadString(hive, kInstallVersionKey, "Path");
        CHECK(SameFile(recorded, path), "%s Path is the module file: got %s", name,
              recorded.c_str());
    }

    REQUIRE(RunRegsvr32(module.Path(), true) == 0, "regsvr32 /s /u Velomix.ax succeeds");
    for (const auto& c : classes)
        CHECK(!KeyExists(RegHive::ClassesRoot, ClassKey(*c.clsid)), "%s is gone",
              ClassKey(*c.clsid).c_str());
    CHECK(!KeyExists(RegHive::ClassesRoot, entry), "the mapper entry is gone");
    CHECK_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &found));
    for (const FilterMapperEntry& f : found)
        CHECK(!IsEqualGUID(f.clsid, kClsidVelomix), "the lookup no longer finds Velomix");
    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine})
        CHECK(ReadString(hive, kInstallVersionKey, "") == "3,0,0,1",
              "the installation record stays");
}

VMX_TEST(registration, render_file_inserts_exactly_one_velomix) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax is beside the test program");
    const CCleanPrefix clean(module.Path());
    REQUIRE(RunRegsvr32(module.Path(), false) == 0, "regsvr32 /s Velomix.ax succeeds");

    CTempFolder folder;
    const std::wstring wav = folder.File(L"render.wav");
    REQUIRE(WriteWav(wav, SineSignal(44100, 440.0)), "the test WAV file is written");

    ComPtr<IGraphBuilder> pGraph;
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGraphBuilder, reinterpret_cast<void**>(&pGraph)));
    REQUIRE_HR(S_OK, pGraph->RenderFile(wav.c_str(), nullptr));

    // Exactly one Velomix: the duplicate guard holds against a merit that would chain more.
    ComPtr<IEnumFilters> pEnum;
    REQUIRE_HR(S_OK, pGraph->EnumFilters(&pEnum));
    ComPtr<IBaseFilter> pVelomix;
    int cVelomix = 0;
    for (IBaseFilter* p = nullptr; pEnum->Next(1, &p, nullptr) == S_OK;) {
        ComPtr<IBaseFilter> pFilter = ComPtr<IBaseFilter>::Attach(p);
        if (IsEqualGUID(ClassOf(pFilter.Get()), kClsidVelomix)) {
            ++cVelomix;
            pVelomix = pFilter;
        }
    }
    REQUIRE(cVelomix == 1, "exactly one Velomix in the rendered graph: %d", cVelomix);

    // file source -> splitter -> Velomix -> DirectSound renderer; which splitter the platform
    // picks for WAV (its wave parser, or Wine's GStreamer one) is the platform's choice.
    const ComPtr<IBaseFilter> pSplitter =
        PeerFilter(FindPinByDirection(pVelomix.Get(), PINDIR_INPUT).Get());
    REQUIRE(pSplitter, "Velomix's input is connected");
    const ComPtr<IBaseFilter> pSource =
        PeerFilter(FindPinByDirection(pSplitter.Get(), PINDIR_INPUT).Get());
    CHECK(IsEqualGUID(ClassOf(pSource.Get()), CLSID_AsyncReader),
          "Velomix sits behind the splitter %s that reads the file source: %s",
          GuidString(ClassOf(pSplitter.Get())).c_str(), GuidString(ClassOf(pSource.Get())).c_str());
    const ComPtr<IBaseFilter> pDownstream =
        PeerFilter(FindPinByDirection(pVelomix.Get(), PINDIR_OUTPUT).Get());
    CHECK(IsEqualGUID(ClassOf(pDownstream.Get()), CLSID_DSoundRender),
          "Velomix feeds the DirectSound renderer: %s",
          GuidString(ClassOf(pDownstream.Get())).c_str());

    // The filter the platform made answers its control interfaces.
    ComPtr<IVelomixProp> pProp;
    CHECK_HR(S_OK, pVelomix->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&pProp)));
    ComPtr<ISpecifyPropertyPages> pPages;
    CHECK_HR(S_OK, pVelomix->QueryInterface(IID_ISpecifyPropertyPages,
                                            reinterpret_cast<void**>(&pPages)));

    ComPtr<IMediaControl> pControl;
    ComPtr<IMediaEvent> pEvents;
    REQUIRE_HR(S_OK,
               pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&pControl)));
    REQUIRE_HR(S_OK, pGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&pEvents)));
    REQUIRE(SUCCEEDED(pControl->Run()), "the graph runs");
    LONG code = 0;
    CHECK_HR(S_OK, pEvents->WaitForCompletion(30000, &code));
    CHECK(code == EC_COMPLETE, "EC_COMPLETE: got %ld", static_cast<long>(code));
    pControl->Stop();
}

VMX_TEST(registration, render_file_inserts_one_velomix_for_float) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax is beside the test program");
    const CCleanPrefix clean(module.Path());
    REQUIRE(RunRegsvr32(module.Path(), false) == 0, "regsvr32 /s Velomix.ax succeeds");

    // Half a second of 32-bit float stereo: the platform's parser delivers it as audio float.
    PcmAudio audio;
    audio.wfx.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    audio.wfx.nChannels = 2;
    audio.wfx.nSamplesPerSec = 44100;
    audio.wfx.wBitsPerSample = 32;
    audio.wfx.nBlockAlign = 8;
    audio.wfx.nAvgBytesPerSec = 44100 * 8;
    std::vector<float> samples(44100 / 2 * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            0.5f * static_cast<float>(std::sin(440.0 * 6.283185307179586 * double(i / 2) / 44100));
    audio.data.resize(samples.size() * sizeof(float));
    std::memcpy(audio.data.data(), samples.data(), audio.data.size());
    CTempFolder folder;
    const std::wstring wav = folder.File(L"float.wav");
    REQUIRE(WriteWav(wav, audio), "the float WAV file is written");

    ComPtr<IGraphBuilder> pGraph;
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGraphBuilder, reinterpret_cast<void**>(&pGraph)));
    REQUIRE_HR(S_OK, pGraph->RenderFile(wav.c_str(), nullptr));
    ComPtr<IEnumFilters> pEnum;
    REQUIRE_HR(S_OK, pGraph->EnumFilters(&pEnum));
    ComPtr<IBaseFilter> pVelomix;
    int cVelomix = 0;
    for (IBaseFilter* p = nullptr; pEnum->Next(1, &p, nullptr) == S_OK;) {
        ComPtr<IBaseFilter> pFilter = ComPtr<IBaseFilter>::Attach(p);
        if (IsEqualGUID(ClassOf(pFilter.Get()), kClsidVelomix)) {
            ++cVelomix;
            pVelomix = pFilter;
        }
    }
    REQUIRE(cVelomix == 1, "exactly one Velomix in the graph rendered for a float WAV: %d",
            cVelomix);
    AM_MEDIA_TYPE mt{};
    REQUIRE_HR(S_OK, FindPinByDirection(pVelomix.Get(), PINDIR_INPUT)->ConnectionMediaType(&mt));
    CHECK(IsEqualGUID(mt.subtype, MEDIASUBTYPE_IEEE_FLOAT),
          "Velomix's input carries audio float: %s", GuidString(mt.subtype).c_str());
    FreeMediaType(mt);
}
