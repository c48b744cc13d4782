// The module's own file on Windows, and the DllMain that records the instance handle.
#include "ModulePath.h"

namespace {

HINSTANCE g_hInst = nullptr;

std::string FileNameOf(HMODULE hModule, DWORD cchBuffer, LONG* error) {
    std::string name(cchBuffer, '\0');
    const DWORD n = GetModuleFileNameA(hModule, &name[0], cchBuffer);
    if (n == 0) {
        *error = static_cast<LONG>(GetLastError());
        return {};
    }
    // A full buffer means a cut name (older systems do not even say so).
    if (n >= cchBuffer) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return {};
    }
    *error = ERROR_SUCCESS;
    name.resize(n);
    return name;
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
        HMODULE hModule = GetModuleHandleA("Velomix.ax");
        if (!hModule)
            hModule = GetModuleHandleA("VELO.ax");
        if (!hModule && !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            reinterpret_cast<LPCSTR>(&g_hInst), &hModule))
            return {};
        LONG error = ERROR_SUCCESS;
        return FileNameOf(hModule, 2048, &error);
    } catch (...) {
        return {};
    }
}
