// What the Windows tests share: the module loaded as a host loads it, the filter made and
// released as a case needs it, owned handles, test WAV files, registration, and pin lookup.
#pragma once

#include "ComPtr.h"
#include "GraphHelpers.h"
#include "common/AudioTypes.h"
#include "Harness.h"
#include "IVelomixProp.h"
#include "media.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The platform's wave parser; mingw-w64's uuids.h lacks it.
// {D51BD5A1-7548-11CF-A520-0080C77EF58A}
VMX_DEFINE_GUID(kClsidWaveParser, 0xD51BD5A1, 0x7548, 0x11CF, 0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E,
                0xF5, 0x8A);

// The installation record DllRegisterServer writes, under HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE.
extern const char kInstallKey[];

// An owned kernel handle.
class CHandle {
public:
    explicit CHandle(HANDLE h = nullptr) noexcept : m_h(h) {}
    ~CHandle() {
        if (m_h && m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE Get() const noexcept { return m_h; }

private:
    HANDLE m_h;
};

// The test program's folder, ending in a backslash (empty when unknown): CMake puts Velomix.ax
// and the hosts beside the program.
std::wstring ProgramFolder();

// A wide string as UTF-8, as the module keeps paths and the hosts print them.
std::string Utf8(const std::wstring& text);

// Velomix.ax from the test program's folder, loaded with LoadLibrary; unloaded at the end of
// the scope only when it says it may be.
class CModule {
public:
    CModule() noexcept;
    ~CModule();
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    bool Loaded() const noexcept { return m_hModule && m_pGetClassObject && m_pCanUnloadNow; }
    HMODULE Handle() const noexcept { return m_hModule; }
    const std::wstring& Path() const noexcept { return m_Path; }
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const;
    HRESULT CanUnloadNow() const;

    // A filter made through the module's class factory; null (with the result in *phr) on
    // failure.
    ComPtr<IBaseFilter> CreateFilter(HRESULT* phr = nullptr) const;

private:
    typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
    typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();

    std::wstring m_Path;
    HMODULE m_hModule = nullptr;
    GetClassObjectFn m_pGetClassObject = nullptr;
    CanUnloadNowFn m_pCanUnloadNow = nullptr;
};

// What a case does with the module; each ends the case (REQUIRE) when the module fails it.
//
// COM initialised on the case's thread and Velomix.ax loaded for body(module); the body must
// leave no object of the module behind, which DllCanUnloadNow checks after it.
template <typename Body> void WithModule(Body&& body) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    body(static_cast<const CModule&>(module));
    CHECK_HR(S_OK, module.CanUnloadNow());
}
// A new filter from the module's class factory; `what` says which, for the message.
ComPtr<IBaseFilter> RequireFilter(const CModule& module, const char* what = "a filter is made");
// The filter's control interface.
ComPtr<IVelomixProp> RequireProp(IBaseFilter* pFilter);
// Releases the case's reference to the filter, which must have been the last one.
void ReleaseLast(ComPtr<IBaseFilter>& pFilter, const char* what);

// Audio and its format: 16-bit PCM unless made otherwise.
struct PcmAudio {
    WAVEFORMATEX wfx{};
    std::vector<uint8_t> data;

    size_t Frames() const noexcept { return data.size() / wfx.nBlockAlign; }
    // A 16-bit sample.
    int16_t Sample(size_t frame, int channel) const noexcept;
};

// `frames` frames of zero bytes in the wave format of whole bytes per sample, interleaved.
PcmAudio Silence(WORD tag, WORD channels, DWORD rate, WORD bits, size_t frames);

// Stereo frames whose two samples spell the frame's index (low and high 16 bits): any
// dropped, repeated or reordered frame shows.
PcmAudio IndexSignal(size_t frames, DWORD rate = 44100);
// A sine of the given frequency on both channels, at half of full scale. The optional second
// frequency takes over from frame switchFrame on.
PcmAudio SineSignal(size_t frames, double hz, double hz2 = 0, size_t switchFrame = 0,
                    DWORD rate = 44100);
// Sign changes of channel 0 over the frames [first, first + count).
size_t ZeroCrossings(const uint8_t* data, size_t count, const WAVEFORMATEX& wfx);

// A folder under the temporary folder, removed with its files at the end of the scope.
class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    std::wstring File(const wchar_t* name) const { return m_Path + name; }

private:
    std::wstring m_Path; // ends in a backslash
};

// Writes a canonical 44-byte-header RIFF WAVE file.
bool WriteWav(const std::wstring& path, const PcmAudio& audio);
// The audio written to the named file of the folder; its path. Ends the case when it cannot be.
std::wstring RequireWav(const CTempFolder& folder, const wchar_t* name, const PcmAudio& audio);

// Where a player's filter reads VELO.INI: Korvane\Player in the local application-data (low
// integrity) folder; empty when that is unknown.
std::wstring SettingsFolder();

// VELO.INI in the folder a player's filter reads, with the given text (none: no file); removed
// at the end of the scope.
class CSettingsFile {
public:
    explicit CSettingsFile(const char* text);
    ~CSettingsFile();
    CSettingsFile(const CSettingsFile&) = delete;
    CSettingsFile& operator=(const CSettingsFile&) = delete;

private:
    std::wstring m_Path;
};

// regsvr32 in a process of its own, as an installer runs it; its exit code.
DWORD RunRegsvr32(const std::wstring& module, bool bUnregister);

// Unregisters the module and removes its installation record when made and when the scope ends,
// however it ends: each case that registers leaves the prefix as it found it.
class CCleanPrefix {
public:
    explicit CCleanPrefix(const std::wstring& module) : m_Module(module) { Clean(); }
    ~CCleanPrefix() { Clean(); }
    CCleanPrefix(const CCleanPrefix&) = delete;
    CCleanPrefix& operator=(const CCleanPrefix&) = delete;

private:
    void Clean() const;
    std::wstring m_Module;
};

// Velomix.ax loaded and registered by regsvr32 for a case, so that the platform's graph builder
// finds it by merit; unregistered, with its installation record removed, when the case ends.
class CRegisteredModule {
public:
    CRegisteredModule();
    CRegisteredModule(const CRegisteredModule&) = delete;
    CRegisteredModule& operator=(const CRegisteredModule&) = delete;
    const CModule& Module() const noexcept { return m_Module; }

private:
    CModule m_Module;
    std::unique_ptr<CCleanPrefix> m_pClean; // made once the module is known to load
};

// The class of a filter, or GUID_NULL.
CLSID ClassOf(IBaseFilter* pFilter);
// The filter at the other end of a pin, or null.
ComPtr<IBaseFilter> PeerFilter(IPin* pPin);
