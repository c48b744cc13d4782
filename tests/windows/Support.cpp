#include "Support.h"

#include "Registry.h"
#include "win32/WideText.h"

#include <shlobj.h>

#include <cmath>
#include <fstream>

const char kInstallKey[] = "SOFTWARE\\Classes\\CLSID\\{8294CF21-9550-45fb-9CF4-E96E375D2964}";

std::wstring ProgramFolder() {
    wchar_t exe[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return {};
    std::wstring dir(exe, n);
    dir.erase(dir.find_last_of(L"\\/") + 1);
    return dir;
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    Utf8FromWide(text, &out);
    return out;
}

CModule::CModule() noexcept {
    // The copy beside the test program: LoadLibrary with a full path, as a host that found the
    // module in its own folder does.
    const std::wstring dir = ProgramFolder();
    if (dir.empty())
        return;
    m_Path = dir + L"Velomix.ax";
    m_hModule = LoadLibraryW(m_Path.c_str());
    if (!m_hModule)
        return;
    // Exported by plain name on both architectures (the .def file); a decorated i686 export
    // would not be found here.
    m_pGetClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(m_hModule, "DllGetClassObject")));
    m_pCanUnloadNow = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(m_hModule, "DllCanUnloadNow")));
}

CModule::~CModule() {
    if (m_hModule && (!m_pCanUnloadNow || m_pCanUnloadNow() == S_OK))
        FreeLibrary(m_hModule);
}

HRESULT CModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const {
    return m_pGetClassObject ? m_pGetClassObject(rclsid, riid, ppv) : E_UNEXPECTED;
}

HRESULT CModule::CanUnloadNow() const {
    return m_pCanUnloadNow ? m_pCanUnloadNow() : E_UNEXPECTED;
}

ComPtr<IBaseFilter> CModule::CreateFilter(HRESULT* phr) const {
    HRESULT hrLocal = S_OK;
    HRESULT& hr = phr ? *phr : hrLocal;
    ComPtr<IClassFactory> pFactory;
    hr = GetClassObject(CLSID_Velomix, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr))
        return {};
    ComPtr<IBaseFilter> pFilter;
    hr = pFactory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&pFilter));
    if (FAILED(hr))
        return {};
    return pFilter;
}

ComPtr<IBaseFilter> RequireFilter(const CModule& module, const char* what) {
    HRESULT hr = S_OK;
    ComPtr<IBaseFilter> pFilter = module.CreateFilter(&hr);
    REQUIRE(pFilter, "%s through DllGetClassObject: %s", what, vmxtest::Hex(hr).c_str());
    return pFilter;
}

ComPtr<IVelomixProp> RequireProp(IBaseFilter* pFilter) {
    ComPtr<IVelomixProp> pProp;
    REQUIRE_HR(S_OK, pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&pProp)));
    return pProp;
}

void ReleaseLast(ComPtr<IBaseFilter>& pFilter, const char* what) {
    if (!pFilter)
        return;
    const ULONG remaining = pFilter.Detach()->Release();
    CHECK(remaining == 0, "%s: the last Release of the filter returns %lu", what,
          static_cast<unsigned long>(remaining));
}

int16_t PcmAudio::Sample(size_t frame, int channel) const noexcept {
    const size_t at = frame * wfx.nBlockAlign + static_cast<size_t>(channel) * 2;
    return static_cast<int16_t>(static_cast<uint16_t>(data[at] | (data[at + 1] << 8)));
}

PcmAudio Silence(WORD tag, WORD channels, DWORD rate, WORD bits, size_t frames) {
    PcmAudio a;
    a.wfx = WaveFormat(channels, rate, bits, tag);
    a.data.resize(frames * a.wfx.nBlockAlign);
    return a;
}

namespace {

PcmAudio StereoFormat(size_t frames, DWORD rate) {
    return Silence(WAVE_FORMAT_PCM, 2, rate, 16, frames);
}

void Put16(uint8_t* p, int value) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(value));
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

PcmAudio IndexSignal(size_t frames, DWORD rate) {
    PcmAudio a = StereoFormat(frames, rate);
    for (size_t i = 0; i < frames; ++i) {
        Put16(&a.data[i * 4], static_cast<int16_t>(i & 0xFFFF));
        Put16(&a.data[i * 4 + 2], static_cast<int16_t>((i >> 16) & 0xFFFF));
    }
    return a;
}

PcmAudio SineSignal(size_t frames, double hz, double hz2, size_t switchFrame, DWORD rate) {
    PcmAudio a = StereoFormat(frames, rate);
    const double kPi = 3.14159265358979323846;
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double f = (hz2 > 0 && i >= switchFrame) ? hz2 : hz;
        const int v = static_cast<int>(std::lround(16383.0 * std::sin(phase)));
        Put16(&a.data[i * 4], v);
        Put16(&a.data[i * 4 + 2], v);
        // Phase carried across the switch: no click that would add crossings.
        phase += 2 * kPi * f / rate;
        if (phase > 2 * kPi)
            phase -= 2 * kPi;
    }
    return a;
}

size_t ZeroCrossings(const uint8_t* data, size_t count, const WAVEFORMATEX& wfx) {
    size_t crossings = 0;
    bool havePrev = false;
    bool prevNegative = false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = data + i * wfx.nBlockAlign;
        const auto v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
        if (v == 0)
            continue;
        const bool negative = v < 0;
        if (havePrev && negative != prevNegative)
            ++crossings;
        prevNegative = negative;
        havePrev = true;
    }
    return crossings;
}

CTempFolder::CTempFolder() {
    wchar_t base[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, base);
    if (n == 0 || n >= MAX_PATH)
        return;
    m_Path =
        std::wstring(base, n) + L"velomix-test-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(m_Path.c_str(), nullptr);
}

CTempFolder::~CTempFolder() {
    if (m_Path.empty())
        return;
    WIN32_FIND_DATAW fd;
    const HANDLE h = FindFirstFileW((m_Path + L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((m_Path + fd.cFileName).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(m_Path.c_str());
}

bool WriteWav(const std::wstring& path, const PcmAudio& audio) {
    uint8_t header[44] = {'R', 'I', 'F', 'F', 0,   0,   0,  0, 'W', 'A',
                          'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0,   0};
    const auto cbData = static_cast<uint32_t>(audio.data.size());
    Put32(header + 4, 36 + cbData);
    const WAVEFORMATEX& f = audio.wfx;
    header[20] = static_cast<uint8_t>(f.wFormatTag);
    header[21] = static_cast<uint8_t>(f.wFormatTag >> 8);
    header[22] = static_cast<uint8_t>(f.nChannels);
    header[23] = 0;
    Put32(header + 24, f.nSamplesPerSec);
    Put32(header + 28, f.nAvgBytesPerSec);
    header[32] = static_cast<uint8_t>(f.nBlockAlign);
    header[33] = 0;
    header[34] = static_cast<uint8_t>(f.wBitsPerSample);
    header[35] = 0;
    header[36] = 'd';
    header[37] = 'a';
    header[38] = 't';
    header[39] = 'a';
    Put32(header + 40, cbData);

    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    if (!WriteFile(file.Get(), header, sizeof(header), &written, nullptr) ||
        written != sizeof(header))
        return false;
    return WriteFile(file.Get(), audio.data.data(), cbData, &written, nullptr) && written == cbData;
}

std::wstring RequireWav(const CTempFolder& folder, const wchar_t* name, const PcmAudio& audio) {
    const std::wstring path = folder.File(name);
    REQUIRE(WriteWav(path, audio), "the test file %s is written", vmxtest::Narrow(name).c_str());
    return path;
}

std::wstring SettingsFolder() {
    PWSTR base = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &base)))
        return {};
    std::wstring folder = std::wstring(base) + L"\\Korvane\\Player";
    CoTaskMemFree(base);
    return folder;
}

CSettingsFile::CSettingsFile(const char* text) {
    const std::wstring folder = SettingsFolder();
    if (!folder.empty()) {
        CreateDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
        m_Path = folder + L"\\VELO.INI";
    }
    DeleteFileW(m_Path.c_str());
    if (text)
        std::ofstream(m_Path.c_str(), std::ios::binary) << text;
}

CSettingsFile::~CSettingsFile() {
    DeleteFileW(m_Path.c_str());
}

DWORD RunRegsvr32(const std::wstring& module, bool bUnregister) {
    std::wstring command =
        std::wstring(L"regsvr32.exe /s ") + (bUnregister ? L"/u " : L"") + L"\"" + module + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return 0xFFFFFFFF;
    const CHandle process(pi.hProcess);
    const CHandle thread(pi.hThread);
    DWORD code = 0xFFFFFFFE;
    if (WaitForSingleObject(process.Get(), 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.Get(), &code);
    return code;
}

void CCleanPrefix::Clean() const {
    RunRegsvr32(m_Module, true);
    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine})
        RegDeleteKeyTree(hive, kInstallKey);
}

CRegisteredModule::CRegisteredModule() {
    REQUIRE(m_Module.Loaded(), "Velomix.ax is beside the test program");
    m_pClean = std::make_unique<CCleanPrefix>(m_Module.Path());
    REQUIRE(RunRegsvr32(m_Module.Path(), false) == 0, "regsvr32 /s Velomix.ax succeeds");
}

CLSID ClassOf(IBaseFilter* pFilter) {
    CLSID clsid = GUID_NULL;
    if (pFilter)
        pFilter->GetClassID(&clsid);
    return clsid;
}

ComPtr<IBaseFilter> PeerFilter(IPin* pPin) {
    ComPtr<IPin> pPeer;
    if (!pPin || FAILED(pPin->ConnectedTo(&pPeer)) || !pPeer)
        return {};
    PIN_INFO info{};
    if (FAILED(pPeer->QueryPinInfo(&info)))
        return {};
    return ComPtr<IBaseFilter>::Attach(info.pFilter);
}
