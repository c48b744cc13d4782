// Registration on the real platform: regsvr32 and the platform's filter mapper write the
// entries, the registry API reads them back, and the platform's graph builder then finds the
// filter by merit when it renders a WAV file.
//
// Each case leaves the prefix as it found it: unregistered, no installation record.
#include "FilterData.h"
#include "FilterMapper.h"
#include "GuidText.h"
#include "Graphs.h"
#include "Harness.h"
#include "Registry.h"

#include <string>
#include <vector>

namespace {

const std::string kInstallVersionKey = std::string(kInstallKey) + "\\InstalledVersion";

// The module's filter registration record, as published: what the platform's mapper must have
// been given.
const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM},
                                           {&MEDIATYPE_Audio, &MEDIASUBTYPE_IEEE_FLOAT}};
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Input"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output", 2,
     kPinTypes},
    {const_cast<LPWSTR>(L"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input", 2, kPinTypes},
};
const AMOVIESETUP_FILTER kSetup = {&CLSID_Velomix, L"Velomix", 0xFFFFFFFF, 2, kPins};

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
    const CRegisteredModule reg;
    const std::string path = Utf8(reg.Module().Path());

    // COM in-process server entries of both classes.
    const struct {
        const GUID* clsid;
        const char* name;
    } classes[] = {{&CLSID_Velomix, "Velomix"}, {&CLSID_VelomixProp1, "Velomix Property Page"}};
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
    const std::string entry = FilterInstanceKey(CLSID_Velomix);
    CHECK(ReadString(RegHive::ClassesRoot, entry, "FriendlyName") == "Velomix",
          "%s FriendlyName \"Velomix\"", entry.c_str());
    const std::vector<BYTE> written = FilterDataOf(CLSID_Velomix);
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
    CHECK(!found.empty() && IsEqualGUID(found[0].clsid, CLSID_Velomix),
          "Velomix comes first for audio PCM (%u filters found)",
          static_cast<unsigned>(found.size()));
    CHECK_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT, &found));
    CHECK(!found.empty() && IsEqualGUID(found[0].clsid, CLSID_Velomix),
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

    REQUIRE(RunRegsvr32(reg.Module().Path(), true) == 0, "regsvr32 /s /u Velomix.ax succeeds");
    for (const auto& c : classes)
        CHECK(!KeyExists(RegHive::ClassesRoot, ClassKey(*c.clsid)), "%s is gone",
              ClassKey(*c.clsid).c_str());
    CHECK(!KeyExists(RegHive::ClassesRoot, entry), "the mapper entry is gone");
    CHECK_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, &found));
    for (const FilterMapperEntry& f : found)
        CHECK(!IsEqualGUID(f.clsid, CLSID_Velomix), "the lookup no longer finds Velomix");
    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine})
        CHECK(ReadString(hive, kInstallVersionKey, "") == "3,0,0,1",
              "the installation record stays");
}

VMX_TEST(registration, render_file_inserts_exactly_one_velomix) {
    CComScope com;
    const CRegisteredModule reg;

    CTempFolder folder;
    // Exactly one Velomix: the duplicate guard holds against a merit that would chain more.
    const RenderedGraph g = RenderWav(RequireWav(folder, L"render.wav", SineSignal(44100, 440.0)));
    IBaseFilter* pVelomix = g.velomix.Get();

    // file source -> splitter -> Velomix -> DirectSound renderer; which splitter the platform
    // picks for WAV (its wave parser, or Wine's GStreamer one) is the platform's choice.
    const ComPtr<IBaseFilter> pSplitter =
        PeerFilter(FindPinByDirection(pVelomix, PINDIR_INPUT).Get());
    REQUIRE(pSplitter, "Velomix's input is connected");
    const ComPtr<IBaseFilter> pSource =
        PeerFilter(FindPinByDirection(pSplitter.Get(), PINDIR_INPUT).Get());
    CHECK(IsEqualGUID(ClassOf(pSource.Get()), CLSID_AsyncReader),
          "Velomix sits behind the splitter %s that reads the file source: %s",
          GuidString(ClassOf(pSplitter.Get())).c_str(), GuidString(ClassOf(pSource.Get())).c_str());
    const ComPtr<IBaseFilter> pDownstream =
        PeerFilter(FindPinByDirection(pVelomix, PINDIR_OUTPUT).Get());
    CHECK(IsEqualGUID(ClassOf(pDownstream.Get()), CLSID_DSoundRender),
          "Velomix feeds the DirectSound renderer: %s",
          GuidString(ClassOf(pDownstream.Get())).c_str());

    // The filter the platform made answers its control interfaces.
    ComPtr<IVelomixProp> pProp;
    CHECK_HR(S_OK, pVelomix->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&pProp)));
    ComPtr<ISpecifyPropertyPages> pPages;
    CHECK_HR(S_OK, pVelomix->QueryInterface(IID_ISpecifyPropertyPages,
                                            reinterpret_cast<void**>(&pPages)));

    REQUIRE(SUCCEEDED(g.control->Run()), "the graph runs");
    RequireCompletion(g.events.Get());
    g.control->Stop();
}

VMX_TEST(registration, platform_mapper_offers_velomix_for_float) {
    CComScope com;
    const CRegisteredModule reg;

    // The lookup graph building makes for a pin that offers audio float (Wine's parser for a
    // float WAV or Ogg Vorbis, many decoders): Velomix must come first.
    ComPtr<IFilterMapper2> pMapper;
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IFilterMapper2, reinterpret_cast<void**>(&pMapper)));
    const GUID types[] = {MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT};
    ComPtr<IEnumMoniker> pEnum;
    REQUIRE_HR(S_OK, pMapper->EnumMatchingFilters(&pEnum, 0, TRUE, MERIT_DO_NOT_USE + 1, TRUE, 1,
                                                  types, nullptr, nullptr, FALSE, FALSE, 0, nullptr,
                                                  nullptr, nullptr));
    ComPtr<IMoniker> pFirst;
    REQUIRE(pEnum->Next(1, &pFirst, nullptr) == S_OK, "a filter takes audio float");
    ComPtr<IPropertyBag> pBag;
    REQUIRE_HR(S_OK, pFirst->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                           reinterpret_cast<void**>(&pBag)));
    VARIANT value;
    VariantInit(&value);
    REQUIRE_HR(S_OK, pBag->Read(L"CLSID", &value, nullptr));
    CLSID clsid = GUID_NULL;
    if (value.vt == VT_BSTR)
        CLSIDFromString(value.bstrVal, &clsid);
    VariantClear(&value);
    CHECK(IsEqualGUID(clsid, CLSID_Velomix), "the platform's mapper offers Velomix first: %s",
          GuidString(clsid).c_str());
}
