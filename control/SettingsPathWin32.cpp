// Paths are UTF-8 here and UTF-16 at each call, so a profile folder outside the ANSI code page
// still finds its file.
#include "SettingsPath.h"

#include "win32/WideText.h"

#include <windows.h>
#include <objbase.h>

#include <memory>
#include <type_traits>

namespace {

// FOLDERID_LocalAppDataLow, spelled out so that neither the shell headers nor their import
// library are needed: shell32 is loaded on demand.
const GUID kFolderIdLocalAppDataLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

using SHGetKnownFolderPathFn = HRESULT(WINAPI*)(const GUID&, DWORD, HANDLE, PWSTR*);

struct LibraryDeleter {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

struct TaskMemDeleter {
    void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};
using UniqueTaskString = std::unique_ptr<wchar_t, TaskMemDeleter>;

bool IsFolder(const std::string& path) {
    std::wstring wide;
    if (!WideFromUtf8(path, &wide)) {
        return false;
    }
    const DWORD nAttributes = GetFileAttributesW(wide.c_str());
    return nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsNt6OrLater() {
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof(extended);
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
        return extended.dwPlatformId == VER_PLATFORM_WIN32_NT && extended.dwMajorVersion >= 6;
    }
    // Systems before NT 4 SP6 know only the basic record.
    OSVERSIONINFOW basic{};
    basic.dwOSVersionInfoSize = sizeof(basic);
    return GetVersionExW(&basic) && basic.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           basic.dwMajorVersion >= 6;
}

// Empty when shell32, the function or the lookup fails.
std::string LocalAppDataLowFolder() {
    const UniqueLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32) {
        return {};
    }
    const FARPROC proc = GetProcAddress(shell32.get(), "SHGetKnownFolderPath");
    if (proc == nullptr) {
        return {};
    }
    // Through void(*)() because a direct cast between unrelated function types is warned about.
    const auto getKnownFolderPath =
        reinterpret_cast<SHGetKnownFolderPathFn>(reinterpret_cast<void (*)()>(proc));
    PWSTR rawPath = nullptr;
    const HRESULT hr = getKnownFolderPath(kFolderIdLocalAppDataLow, 0, nullptr, &rawPath);
    // Owned before the result is looked at: the buffer must be freed on failure as well.
    const UniqueTaskString widePath(rawPath);
    if (FAILED(hr) || !widePath) {
        return {};
    }
    // A base path of any length, taken whole; one that is not UTF-16 names no folder.
    std::string utf8;
    if (!Utf8FromWide(widePath.get(), &utf8)) {
        return {};
    }
    return utf8;
}

// The module's folder with its trailing backslash; empty when it cannot be found.
std::string ModuleFolder() {
    HMODULE module = GetModuleHandleW(L"Velomix.ax");
    if (module == nullptr) {
        module = GetModuleHandleW(L"VELO.ax");
    }
    // Renamed module file: the module that holds this code.
    if (module == nullptr &&
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&kFolderIdLocalAppDataLow), &module)) {
        return {};
    }
    WCHAR path[2048];
    const DWORD nLength = GetModuleFileNameW(module, path, ARRAYSIZE(path));
    // A cut name would give a wrong folder (and may lack its zero on old systems).
    std::string file;
    if (nLength == 0 || nLength >= ARRAYSIZE(path) || !Utf8FromWide(path, nLength, &file)) {
        return {};
    }
    const size_t nSlash = file.rfind('\\');
    return nSlash == std::string::npos ? std::string() : file.substr(0, nSlash + 1);
}

} // namespace

bool EnsureFolderExists(const std::string& folder) {
    try {
        if (IsFolder(folder)) {
            return true;
        }
        std::wstring wide;
        if (!WideFromUtf8(folder, &wide)) {
            return false;
        }
        for (size_t nSlash = wide.find(L'\\', 1); nSlash != std::wstring::npos;
             nSlash = wide.find(L'\\', nSlash + 1)) {
            CreateDirectoryW(wide.substr(0, nSlash + 1).c_str(), nullptr);
        }
        CreateDirectoryW(wide.c_str(), nullptr);
        return IsFolder(folder);
    } catch (...) {
        return false;
    }
}

std::string SettingsFilePath() {
    try {
        std::string folder;
        if (IsNt6OrLater()) {
            folder = LocalAppDataLowFolder() + "\\Korvane\\Player";
            EnsureFolderExists(folder);
            folder += '\\';
        } else {
            folder = ModuleFolder();
        }
        return folder + "VELO.INI";
    } catch (...) {
        return {};
    }
}
