// The module as a host sees it without a graph: its exports, class factory and lifetime, the
// filter's pins and interfaces, the types it refuses, and the version resource.
#include "Harness.h"
#include "IVelomixProp.h"
#include "MediaType.h"
#include "Support.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// An audio type with the given wave format block.
CMediaType AudioType(const void* pFormat, ULONG cbFormat) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetFormat(static_cast<const BYTE*>(pFormat), cbFormat);
    return mt;
}

CMediaType PcmType(WORD channels, DWORD rate, WORD bits) {
    const WAVEFORMATEX wfx = WaveFormat(channels, rate, bits);
    return AudioType(&wfx, sizeof(wfx));
}

CMediaType ExtensibleType(const GUID& subFormat) {
    WAVEFORMATEXTENSIBLE wfxe{};
    wfxe.Format = WaveFormat(2, 48000, 16, WAVE_FORMAT_EXTENSIBLE);
    wfxe.Format.cbSize = 22;
    wfxe.Samples.wValidBitsPerSample = 16;
    wfxe.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    wfxe.SubFormat = subFormat;
    return AudioType(&wfxe, sizeof(wfxe));
}

std::wstring PinId(IPin* pPin) {
    LPWSTR id = nullptr;
    if (FAILED(pPin->QueryId(&id)) || !id)
        return L"(failed)";
    std::wstring text(id);
    CoTaskMemFree(id);
    return text;
}

} // namespace

VMX_TEST(module, factory_and_lifetime) {
    WithModule([](const CModule& module) {
        // Loaded: both exports were found by their plain names.
        CHECK_HR(S_OK, module.CanUnloadNow());

        // An unknown class: refused, and the out-pointer cleared.
        const GUID kUnknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
        void* pv = reinterpret_cast<void*>(1);
        CHECK_HR(CLASS_E_CLASSNOTAVAILABLE,
                 module.GetClassObject(kUnknown, IID_IClassFactory, &pv));
        CHECK(pv == nullptr, "the out-pointer is null after CLASS_E_CLASSNOTAVAILABLE");
        CHECK_HR(E_POINTER, module.GetClassObject(CLSID_Velomix, IID_IClassFactory, nullptr));

        ComPtr<IClassFactory> pFactory;
        REQUIRE_HR(S_OK, module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                               reinterpret_cast<void**>(&pFactory)));
        CHECK_HR(S_FALSE, module.CanUnloadNow()); // a class object lives

        ComPtr<IBaseFilter> pFilter;
        REQUIRE_HR(S_OK, pFactory->CreateInstance(nullptr, IID_IBaseFilter,
                                                  reinterpret_cast<void**>(&pFilter)));
        CLSID clsid{};
        CHECK_HR(S_OK, pFilter->GetClassID(&clsid));
        CHECK(IsEqualCLSID(clsid, CLSID_Velomix), "GetClassID answers CLSID_Velomix");

        // One identity: IUnknown from two interfaces is the same pointer.
        ComPtr<IUnknown> pUnk1, pUnk2;
        ComPtr<IVelomixProp> pProp;
        REQUIRE_HR(S_OK,
                   pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&pProp)));
        CHECK_HR(S_OK, pFilter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk1)));
        CHECK_HR(S_OK, pProp->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk2)));
        CHECK(pUnk1.Get() == pUnk2.Get(), "IUnknown is the same from IBaseFilter and IVelomixProp");
        pUnk1.Reset();
        pUnk2.Reset();
        pProp.Reset();

        pFactory.Reset();
        CHECK_HR(S_FALSE, module.CanUnloadNow()); // the filter lives on without its factory

        // The test held the only reference: its release destroys the filter.
        ReleaseLast(pFilter, "the test held the only reference");
        CHECK_HR(S_OK, module.CanUnloadNow());

        // LockServer counts like an object.
        REQUIRE_HR(S_OK, module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                               reinterpret_cast<void**>(&pFactory)));
        CHECK_HR(S_OK, pFactory->LockServer(TRUE));
        pFactory.Reset();
        CHECK_HR(S_FALSE, module.CanUnloadNow());
        REQUIRE_HR(S_OK, module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                               reinterpret_cast<void**>(&pFactory)));
        CHECK_HR(S_OK, pFactory->LockServer(FALSE));
        pFactory.Reset();
    });
}

VMX_TEST(module, pins) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> pFilter = RequireFilter(module);

        ComPtr<IPin> pIn = FindPinById(pFilter.Get(), L"In");
        ComPtr<IPin> pOut = FindPinById(pFilter.Get(), L"Out");
        REQUIRE(pIn && pOut, "FindPin finds \"In\" and \"Out\"");
        ComPtr<IPin> pNone;
        CHECK_HR(VFW_E_NOT_FOUND, pFilter->FindPin(L"Input", &pNone));
        CHECK(!pNone, "no pin for an unknown id");

        CHECK(PinId(pIn.Get()) == L"In", "QueryId of the input pin is \"In\", got \"%s\"",
              vmxtest::Narrow(PinId(pIn.Get()).c_str()).c_str());
        CHECK(PinId(pOut.Get()) == L"Out", "QueryId of the output pin is \"Out\", got \"%s\"",
              vmxtest::Narrow(PinId(pOut.Get()).c_str()).c_str());
        PIN_DIRECTION dir;
        CHECK(SUCCEEDED(pIn->QueryDirection(&dir)) && dir == PINDIR_INPUT, "\"In\" is an input");
        CHECK(SUCCEEDED(pOut->QueryDirection(&dir)) && dir == PINDIR_OUTPUT,
              "\"Out\" is an output");

        ULONG n = 0;
        CHECK_HR(E_NOTIMPL, pIn->QueryInternalConnections(nullptr, &n));
        CHECK_HR(E_NOTIMPL, pOut->QueryInternalConnections(nullptr, &n));

        // The pin's info names its filter (with a reference) and its id.
        PIN_INFO info{};
        REQUIRE_HR(S_OK, pOut->QueryPinInfo(&info));
        CHECK(info.pFilter == pFilter.Get(), "QueryPinInfo names the filter");
        CHECK(info.dir == PINDIR_OUTPUT, "QueryPinInfo gives the direction");
        CHECK(std::wcscmp(info.achName, L"Out") == 0, "QueryPinInfo gives the name \"Out\"");
        if (info.pFilter)
            info.pFilter->Release();

        // Inputs first when enumerated.
        ComPtr<IEnumPins> pEnum;
        REQUIRE_HR(S_OK, pFilter->EnumPins(&pEnum));
        IPin* pins[3] = {};
        ULONG fetched = 0;
        CHECK_HR(S_FALSE, pEnum->Next(3, pins, &fetched));
        CHECK(fetched == 2, "EnumPins gives 2 pins, got %lu", static_cast<unsigned long>(fetched));
        CHECK(fetched >= 1 && pins[0] == pIn.Get(), "the input pin comes first");
        for (ULONG i = 0; i < fetched; ++i)
            pins[i]->Release();

        pEnum.Reset();
        pIn.Reset();
        pOut.Reset();
        ReleaseLast(pFilter, "pins gave back the filter's references");
    });
}

VMX_TEST(module, control_interfaces) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> pFilter = RequireFilter(module);

        ComPtr<ISpecifyPropertyPages> pPages;
        REQUIRE_HR(S_OK, pFilter->QueryInterface(IID_ISpecifyPropertyPages,
                                                 reinterpret_cast<void**>(&pPages)));
        CAUUID pages{};
        REQUIRE_HR(S_OK, pPages->GetPages(&pages));
        CHECK(pages.cElems == 1, "one property page, got %lu",
              static_cast<unsigned long>(pages.cElems));
        CHECK(pages.cElems >= 1 && IsEqualGUID(pages.pElems[0], CLSID_VelomixProp1),
              "the page is CLSID_VelomixProp1");
        CoTaskMemFree(pages.pElems);
        CHECK_HR(E_POINTER, pPages->GetPages(nullptr));

        ComPtr<IVelomixProp> pProp = RequireProp(pFilter.Get());
        double tempo = 0, rate = 0;
        int pitch = -1;
        CHECK_HR(S_OK, pProp->GetTempo(&tempo));
        CHECK_HR(S_OK, pProp->GetRate(&rate));
        CHECK_HR(S_OK, pProp->GetPitch(&pitch));
        CHECK(tempo == 1.0 && rate == 1.0 && pitch == 0,
              "a new filter runs at 1.0/1.0/0, got %g/%g/%d", tempo, rate, pitch);
        CHECK_HR(S_OK, pProp->SetTempo(1.5));
        CHECK_HR(S_OK, pProp->GetTempo(&tempo));
        CHECK(tempo == 1.5, "SetTempo(1.5) is read back, got %g", tempo);

        // Interfaces a transform filter does not have.
        ComPtr<IUnknown> pNone;
        CHECK_HR(E_NOINTERFACE,
                 pFilter->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(&pNone)));
        CHECK_HR(E_NOINTERFACE,
                 pFilter->QueryInterface(IID_IPin, reinterpret_cast<void**>(&pNone)));

        pPages.Reset();
        pProp.Reset();
        ReleaseLast(pFilter, "no reference left behind by the queries");
    });
}

VMX_TEST(module, type_refusals) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> pFilter = RequireFilter(module);
        ComPtr<IPin> pIn = FindPinById(pFilter.Get(), L"In");
        REQUIRE(pIn, "input pin");

        struct Case {
            const char* what;
            CMediaType mt;
            HRESULT expected;
        };
        CMediaType video = PcmType(2, 44100, 16);
        video.SetType(&MEDIATYPE_Video);
        CMediaType noFormat = PcmType(2, 44100, 16);
        noFormat.SetFormatType(&FORMAT_None);
        CMediaType badAlign = PcmType(2, 44100, 16);
        reinterpret_cast<WAVEFORMATEX*>(badAlign.Format())->nBlockAlign = 3;
        const GUID kOtherSubFormat = {
            0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
        const Case cases[] = {
            {"16-bit stereo PCM", PcmType(2, 44100, 16), S_OK},
            {"8-bit mono PCM", PcmType(1, 22050, 8), S_OK},
            {"extensible with the PCM sub-format", ExtensibleType(KSDATAFORMAT_SUBTYPE_PCM), S_OK},
            {"video major type", video, S_FALSE},
            {"no wave format block", noFormat, S_FALSE},
            {"block alignment that does not match", badAlign, S_FALSE},
            {"extensible with a foreign sub-format", ExtensibleType(kOtherSubFormat), S_FALSE},
        };
        for (const Case& c : cases) {
            const HRESULT hr = pIn->QueryAccept(&c.mt);
            CHECK(hr == c.expected, "QueryAccept(%s): %s, expected %s", c.what,
                  vmxtest::Hex(hr).c_str(), vmxtest::Hex(c.expected).c_str());
        }
        // The output pin offers nothing before the input is connected.
        ComPtr<IPin> pOut = FindPinById(pFilter.Get(), L"Out");
        REQUIRE(pOut, "output pin");
        ComPtr<IEnumMediaTypes> pTypes;
        REQUIRE_HR(S_OK, pOut->EnumMediaTypes(&pTypes));
        AM_MEDIA_TYPE* pmt = nullptr;
        CHECK(pTypes->Next(1, &pmt, nullptr) != S_OK,
              "no output type while the input is unconnected");
        if (pmt)
            DeleteMediaType(pmt);
    });
}

// The version resource, read back through the version API and walked as stored, so that the
// order of the string entries shows.
namespace {

// One node of a version block: wLength, wValueLength, wType, a key, a value, and the children,
// each part aligned on 4 bytes.
struct VersionNode {
    std::wstring key;
    std::wstring text;     // the value of a text node
    const BYTE* pChildren; // first child
    const BYTE* pEnd;      // end of this node
};

size_t Align4(size_t n) {
    return (n + 3) & ~size_t(3);
}

bool ReadNode(const BYTE* p, const BYTE* pLimit, VersionNode* pNode) {
    if (pLimit - p < 6)
        return false;
    WORD length, valueLength, type;
    std::memcpy(&length, p, 2);
    std::memcpy(&valueLength, p + 2, 2);
    std::memcpy(&type, p + 4, 2);
    if (length < 6 || length > pLimit - p)
        return false;
    pNode->key.assign(reinterpret_cast<const wchar_t*>(p + 6));
    const size_t valueAt = Align4(6 + (pNode->key.size() + 1) * 2);
    const size_t valueBytes = type == 1 ? valueLength * 2u : valueLength;
    pNode->text = (type == 1 && valueLength > 0)
                      ? std::wstring(reinterpret_cast<const wchar_t*>(p + valueAt))
                      : L"";
    pNode->pEnd = p + Align4(length);
    pNode->pChildren = p + Align4(valueAt + valueBytes);
    return true;
}

std::vector<VersionNode> Children(const VersionNode& parent) {
    std::vector<VersionNode> nodes;
    VersionNode node;
    for (const BYTE* p = parent.pChildren; p < parent.pEnd && ReadNode(p, parent.pEnd, &node);
         p = node.pEnd)
        nodes.push_back(node);
    return nodes;
}

const VersionNode* Child(const std::vector<VersionNode>& nodes, const wchar_t* key) {
    for (const VersionNode& n : nodes)
        if (n.key == key)
            return &n;
    return nullptr;
}

} // namespace

VMX_TEST(module, version_resource) {
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    DWORD handle = 0;
    const DWORD cb = GetFileVersionInfoSizeW(module.Path().c_str(), &handle);
    REQUIRE(cb > 0, "the module has a version resource");
    std::vector<BYTE> block(cb);
    REQUIRE(GetFileVersionInfoW(module.Path().c_str(), 0, cb, block.data()), "GetFileVersionInfo");

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    REQUIRE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed) &&
                pFixed,
            "the fixed file information");
    CHECK(pFixed->dwFileVersionMS == 0x00030000 && pFixed->dwFileVersionLS == 0x00000001,
          "file version 3.0.0.1, got %08lX %08lX", pFixed->dwFileVersionMS,
          pFixed->dwFileVersionLS);
    CHECK(pFixed->dwProductVersionMS == 0x00030000 && pFixed->dwProductVersionLS == 0x00000001,
          "product version 3.0.0.1");
    CHECK(pFixed->dwFileType == VFT_DLL, "file type DLL");
    CHECK(pFixed->dwFileOS == VOS__WINDOWS32, "operating system 32-bit Windows, got %08lX",
          pFixed->dwFileOS);
    const DWORD flags = pFixed->dwFileFlags & pFixed->dwFileFlagsMask;
    CHECK(flags == (VS_FF_PRERELEASE | VS_FF_PRIVATEBUILD),
          "pre-release and private-build flags, got %08lX", flags);

    WORD* pTranslation = nullptr;
    UINT cbTranslation = 0;
    REQUIRE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void**>(&pTranslation), &cbTranslation) &&
                cbTranslation >= 4,
            "a translation entry");
    CHECK(pTranslation[0] == 0x0409 && pTranslation[1] == 1252, "language 0x0409, code page 1252");

    wchar_t* pValue = nullptr;
    UINT cchValue = 0;
    CHECK(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904e4\\OLESelfRegister",
                         reinterpret_cast<void**>(&pValue), &cchValue) &&
              pValue && std::wcscmp(pValue, L"AM20") == 0,
          "\"OLESelfRegister\" = \"AM20\" tells installers the module registers itself");

    // The one string table, its entries in their order.
    VersionNode root;
    REQUIRE(ReadNode(block.data(), block.data() + block.size(), &root) &&
                root.key == L"VS_VERSION_INFO",
            "the block starts with VS_VERSION_INFO");
    const std::vector<VersionNode> top = Children(root);
    const VersionNode* pStrings = Child(top, L"StringFileInfo");
    REQUIRE(pStrings, "a StringFileInfo block");
    const std::vector<VersionNode> tables = Children(*pStrings);
    REQUIRE(tables.size() == 1 && tables[0].key == L"040904e4", "one string table, 040904e4");
    const std::vector<VersionNode> entries = Children(tables[0]);
    struct VersionEntry {
        std::wstring key;
        std::wstring value;
    };
    const VersionEntry expected[] = {
        {L"ActiveMovie", L"Velomix Filter dll"},
        {L"Comment", L"Velomix"},
        {L"Comments", L"Velomix"},
        {L"CompanyName", L""},
        {L"FileDescription", L"Velomix"},
        {L"FileVersion", L"3, 0, 0, 1"},
        {L"InternalName", L"Velomix.ax"},
        {L"LegalCopyright", L""},
        {L"OLESelfRegister", L"AM20"},
        {L"OriginalFilename", L"Velomix.ax"},
        {L"ProductName", L"Velomix Filter"},
        {L"ProductVersion", L"3, 0, 0, 1"},
    };
    REQUIRE(entries.size() == sizeof(expected) / sizeof(expected[0]), "12 string entries, got %u",
            static_cast<unsigned>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        CHECK(entries[i].key == expected[i].key, "entry %u is \"%s\", got \"%s\"",
              static_cast<unsigned>(i), vmxtest::Narrow(expected[i].key.c_str()).c_str(),
              vmxtest::Narrow(entries[i].key.c_str()).c_str());
        // The company-name and legal-notice texts are free; the others are fixed.
        if (!expected[i].value.empty())
            CHECK(entries[i].text == expected[i].value, "\"%s\" = \"%s\", got \"%s\"",
                  vmxtest::Narrow(expected[i].key.c_str()).c_str(),
                  vmxtest::Narrow(expected[i].value.c_str()).c_str(),
                  vmxtest::Narrow(entries[i].text.c_str()).c_str());
        else
            CHECK(!entries[i].text.empty(), "\"%s\" has a text",
                  vmxtest::Narrow(expected[i].key.c_str()).c_str());
    }
}
