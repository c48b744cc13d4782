// Names outside the ANSI code page: a module installed in such a folder registers its exact
// path and is found by COM and the graph builder; a profile folder with such characters finds
// its VELO.INI (velomix.exe with such file names: HostTests.cpp). Each folder name carries
// characters of the Latin-1, Greek and superscript ranges, or one outside the BMP (a surrogate
// pair), so that any narrowing on the way changes the name.
#include "FilterMapper.h"
#include "GuidText.h"
#include "Graphs.h"
#include "Harness.h"
#include "Registry.h"
#include "Support.h"
#include "win32/WideText.h"

#include <fstream>
#include <string>
#include <vector>

namespace {

// "Prog Tδst\Vel÷ Mix ⁿ", and a folder named with U+1D11E (musical symbol G clef).
const wchar_t* const kFolderNames[] = {L"Prog T\x03B4st\\Vel\x00F7 Mix \x207F",
                                       L"Clef \xD834\xDD1E"};

// A folder path (parents included) under a base folder, made at once and removed with
// whatever files were put in it when the scope ends.
class CNamedFolder {
public:
    CNamedFolder(const std::wstring& base, const std::wstring& relative) : m_Base(base) {
        for (size_t at = 0;;) {
            const size_t slash = relative.find(L'\\', at);
            m_Made.push_back(base + relative.substr(0, slash));
            CreateDirectoryW(m_Made.back().c_str(), nullptr);
            if (slash == std::wstring::npos)
                break;
            at = slash + 1;
        }
        m_Path = m_Made.back() + L"\\";
    }
    ~CNamedFolder() {
        for (const std::wstring& file : m_Files)
            DeleteFileW(file.c_str());
        for (auto it = m_Made.rbegin(); it != m_Made.rend(); ++it)
            RemoveDirectoryW(it->c_str());
    }
    CNamedFolder(const CNamedFolder&) = delete;
    CNamedFolder& operator=(const CNamedFolder&) = delete;

    // Path of a file in the folder, removed with it.
    std::wstring File(const std::wstring& name) {
        m_Files.push_back(m_Path + name);
        return m_Files.back();
    }
    const std::wstring& Path() const { return m_Path; }
    // Also removed at the end: folders the filter makes inside this one.
    void Adopt(const std::wstring& sub) { m_Made.insert(m_Made.end(), sub); }

private:
    std::wstring m_Base;
    std::wstring m_Path; // ends in a backslash
    std::vector<std::wstring> m_Made;
    std::vector<std::wstring> m_Files;
};

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A REG_SZ value read with the system's own wide call, so that the check does not go through
// the module's reader; "(missing)" when it is not there or has another type.
std::wstring RawString(HKEY root, const std::wstring& key, const wchar_t* name) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return L"(missing)";
    WCHAR text[1024] = {};
    DWORD type = 0;
    DWORD cb = sizeof(text) - sizeof(WCHAR);
    const LONG result =
        RegQueryValueExW(hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &cb);
    RegCloseKey(hKey);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return L"(missing)";
    return std::wstring(text, cb / sizeof(WCHAR)).c_str(); // up to the terminating zero
}

bool KeyExists(HKEY root, const std::wstring& key) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

std::wstring WideClassKey(REFCLSID clsid) {
    return L"CLSID\\" + WideFromUtf8(GuidString(clsid));
}

// The file of the module that holds the object's code.
std::wstring ModuleFileOf(IUnknown* pObject) {
    HMODULE hModule = nullptr;
    // The first entry of the object's vtable lies in the module's code.
    const void* const* vtable = *reinterpret_cast<const void* const* const*>(pObject);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(vtable[0]), &hModule))
        return {};
    WCHAR path[1024];
    const DWORD n = GetModuleFileNameW(hModule, path, ARRAYSIZE(path));
    return n > 0 && n < ARRAYSIZE(path) ? std::wstring(path, n) : std::wstring();
}

// A shell folder's two records under HKEY_CURRENT_USER, pointed somewhere else for a case
// and put back as they were when it ends.
class CShellFolderOverride {
public:
    CShellFolderOverride(const wchar_t* valueName, const std::wstring& folder) : m_Name(valueName) {
        for (int i = 0; i < 2; ++i) {
            Saved& s = m_Saved[i];
            HKEY hKey = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, kKeys[i], 0, KEY_READ | KEY_WRITE, &hKey) !=
                ERROR_SUCCESS)
                continue;
            DWORD cb = sizeof(s.data);
            const LONG result =
                RegQueryValueExW(hKey, m_Name.c_str(), nullptr, &s.type, s.data, &cb);
            // A value that cannot be saved whole is left alone.
            if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
                RegCloseKey(hKey);
                continue;
            }
            s.bTouched = true;
            s.bPresent = result == ERROR_SUCCESS;
            s.cb = cb;
            RegSetValueExW(hKey, m_Name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(folder.c_str()),
                           static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
            RegCloseKey(hKey);
        }
    }
    ~CShellFolderOverride() {
        for (int i = 0; i < 2; ++i) {
            const Saved& s = m_Saved[i];
            HKEY hKey = nullptr;
            if (!s.bTouched ||
                RegOpenKeyExW(HKEY_CURRENT_USER, kKeys[i], 0, KEY_WRITE, &hKey) != ERROR_SUCCESS)
                continue;
            if (s.bPresent)
                RegSetValueExW(hKey, m_Name.c_str(), 0, s.type, s.data, s.cb);
            else
                RegDeleteValueW(hKey, m_Name.c_str());
            RegCloseKey(hKey);
        }
    }
    CShellFolderOverride(const CShellFolderOverride&) = delete;
    CShellFolderOverride& operator=(const CShellFolderOverride&) = delete;

private:
    static constexpr const wchar_t* kKeys[2] = {
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"};
    struct Saved {
        bool bTouched = false;
        bool bPresent = false;
        DWORD type = 0;
        BYTE data[2048] = {};
        DWORD cb = 0;
    };
    std::wstring m_Name;
    Saved m_Saved[2];
};

std::wstring TempBase() {
    wchar_t base[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, base);
    return n > 0 && n < MAX_PATH ? std::wstring(base, n) : std::wstring();
}

} // namespace

VMX_TEST(unicode, a_module_in_a_folder_outside_the_code_page_registers_its_exact_path) {
    CComScope com;
    const std::wstring base = TempBase();
    REQUIRE(!base.empty(), "the temporary folder is known");
    for (const wchar_t* name : kFolderNames) {
        const std::string what = vmxtest::Narrow(name);
        CNamedFolder folder(base, L"velomix-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                      std::wstring(name));
        const std::wstring module = folder.File(L"Velomix.ax");
        REQUIRE(CopyFileW((ProgramFolder() + L"Velomix.ax").c_str(), module.c_str(), FALSE),
                "%s: the module is copied into the folder", what.c_str());
        {
            const CCleanPrefix clean(module);
            REQUIRE(RunRegsvr32(module, false) == 0, "%s: regsvr32 registers the copy",
                    what.c_str());

            // Both classes name the copy exactly, as REG_SZ UTF-16 (the system's own reader).
            for (const GUID* clsid : {&CLSID_Velomix, &CLSID_VelomixProp1}) {
                const std::wstring server = RawString(
                    HKEY_CLASSES_ROOT, WideClassKey(*clsid) + L"\\InprocServer32", nullptr);
                CHECK(server == module, "%s: InprocServer32 of %s is the copy's path exactly: %s",
                      what.c_str(), GuidString(*clsid).c_str(),
                      vmxtest::Narrow(server.c_str()).c_str());
            }
            // The module's own reader gives the same path back whole, surrogate pairs included.
            CRegKey key;
            std::string read;
            CHECK(key.OpenForRead(RegHive::ClassesRoot, "CLSID\\" + GuidString(CLSID_Velomix) +
                                                            "\\InprocServer32") == ERROR_SUCCESS &&
                      key.QueryString("", &read) == ERROR_SUCCESS && read == Utf8(module),
                  "%s: QueryString reads the path as UTF-8: %s", what.c_str(), read.c_str());
            // The installation record names it too.
            const std::wstring record =
                WideFromUtf8(std::string(kInstallKey)) + L"\\InstalledVersion";
            for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
                CHECK(RawString(root, record, L"Path") == module,
                      "%s: the installation record's Path is the copy's path", what.c_str());

            // COM loads the copy, and the graph builder inserts it.
            {
                ComPtr<IBaseFilter> pFilter;
                REQUIRE_HR(S_OK,
                           CoCreateInstance(CLSID_Velomix, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IBaseFilter, reinterpret_cast<void**>(&pFilter)));
                CHECK(ModuleFileOf(pFilter.Get()) == module,
                      "%s: the filter's code comes from the copy: %s", what.c_str(),
                      vmxtest::Narrow(ModuleFileOf(pFilter.Get()).c_str()).c_str());
                CTempFolder temp;
                RenderedGraph g =
                    RenderWav(RequireWav(temp, L"render.wav", SineSignal(4410, 440.0)));
                CHECK(ModuleFileOf(g.velomix.Get()) == module, "%s: RenderFile inserts the copy",
                      what.c_str());
            }

            REQUIRE(RunRegsvr32(module, true) == 0, "%s: regsvr32 /u unregisters the copy",
                    what.c_str());
            for (const GUID* clsid : {&CLSID_Velomix, &CLSID_VelomixProp1})
                CHECK(!KeyExists(HKEY_CLASSES_ROOT, WideClassKey(*clsid)), "%s: %s is gone",
                      what.c_str(), GuidString(*clsid).c_str());
            CHECK(!KeyExists(HKEY_CLASSES_ROOT, WideFromUtf8(FilterInstanceKey(CLSID_Velomix))),
                  "%s: the filter-mapper entry is gone", what.c_str());
        }
        // Unloaded, so that its folder can go.
        CoFreeUnusedLibrariesEx(0, 0);
    }
}

VMX_TEST(unicode, a_profile_folder_outside_the_code_page_finds_its_settings_file) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    const std::wstring base = TempBase();
    REQUIRE(!base.empty(), "the temporary folder is known");
    CTempFolder temp;
    const std::wstring wav = RequireWav(temp, L"tone.wav", SineSignal(44100, 440.0));
    auto process = [&]() {
        CaptureGraph g = BuildCaptureGraph(module, wav);
        REQUIRE_HR(S_OK, g.prop->SetTempo(1.5));
        RunToCompletion(g);
        std::vector<uint8_t> bytes = g.sink->Log().bytes;
        TearDown(g);
        return bytes;
    };

    for (const wchar_t* name : kFolderNames) {
        const std::string what = vmxtest::Narrow(name);
        CNamedFolder low(base, L"velomix-low-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::wstring(name));
        const std::wstring lowFolder = low.Path().substr(0, low.Path().size() - 1);
        low.Adopt(lowFolder + L"\\Korvane");
        low.Adopt(lowFolder + L"\\Korvane\\Player");
        const std::wstring ini = lowFolder + L"\\Korvane\\Player\\VELO.INI";
        {
            // FOLDERID_LocalAppDataLow.
            const CShellFolderOverride redirect(L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}",
                                                lowFolder);
            REQUIRE(SettingsFolder() == lowFolder + L"\\Korvane\\Player",
                    "%s: the known folder now resolves into the test's folder: %s", what.c_str(),
                    vmxtest::Narrow(SettingsFolder().c_str()).c_str());
            const std::vector<uint8_t> plain = process();
            REQUIRE(!plain.empty(), "%s: output at tempo 1.5", what.c_str());
            CHECK(IsFolder(lowFolder + L"\\Korvane\\Player"),
                  "%s: the filter made its settings folder there", what.c_str());
            std::ofstream(ini.c_str(), std::ios::binary) << "[INIT]\r\nFAST=0\r\n";
            CHECK(process() != plain, "%s: FAST=0 in VELO.INI there turns quick seek off",
                  what.c_str());
            DeleteFileW(ini.c_str());
            CHECK(process() == plain, "%s: without the file the defaults are back", what.c_str());
        }
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}
