// The module's instance handle on Windows.
#include "PropertyPage.h"

HINSTANCE ModuleInstance() noexcept {
    // The module that holds this code, whatever its file is called.
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &hModule);
    return hModule;
}
