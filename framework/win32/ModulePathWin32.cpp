// The module's own file on Windows, and the DllMain that records the instance handle.
#include "ModulePath.h"

#include "win32/WideText.h"

namespace {

HINSTANCE g_hInst = nullptr;

std::string FileNameOf(HMODULE hModule, DWORD cchBuffer, LONG* error) {
    std::wstring name(cchBuffer, L'\0');
    const DWORD n = GetModuleFileNameW(hModule, &name[0], cchBuffer);
    if (n == 0) {
        *error = static_cast<LONG>(GetLastError());
        return {};
    }
    // A full buffer means a cut name (older systems do not even say so).
    if (n >= cchBuffer) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return {};
    }
    name.resize(n);
    std::string utf8;
    *error = Utf8FromWide(name, &utf8) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
    return utf8;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hInst = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

LONG ModuleFileFromInstance(std::string* path) noexcept {
    try {
        LONG error = ERROR_SUCCESS;
        *path = FileNameOf(g_hInst, MAX_PATH, &error);
        return error;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

std::string ModuleFileByName() noexcept {
    try {
        HMODULE hModule = GetModuleHandleW(L"Velomix.ax");
        if (!hModule)
            hModule = GetModuleHandleW(L"VELO.ax");
        if (!hModule && !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            reinterpret_cast<LPCWSTR>(&g_hInst), &hModule))
            return {};
        LONG error = ERROR_SUCCESS;
        return FileNameOf(hModule, 2048, &error);
    } catch (...) {
        return {};
    }
}
