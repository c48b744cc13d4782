// Loads the module file as a host does and hands out its class objects.
#pragma once

#include "com.h"

#include <string>

class CModuleLoader {
public:
    CModuleLoader() = default;
    ~CModuleLoader();
    CModuleLoader(const CModuleLoader&) = delete;
    CModuleLoader& operator=(const CModuleLoader&) = delete;

    // Loads the module at path; false with Error() set when the file cannot be loaded or
    // lacks DllGetClassObject / DllCanUnloadNow.
    bool Load(const std::string& path);
    // The module's DllGetClassObject; E_UNEXPECTED before Load.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const;
    // The module's DllCanUnloadNow: S_OK when no object of it lives.
    HRESULT CanUnloadNow() const;
    // The module's DllRegisterServer / DllUnregisterServer; E_NOTIMPL when the module does
    // not export it, E_UNEXPECTED before Load.
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;
    const std::string& Error() const { return m_Error; }
    const std::string& Path() const { return m_Path; }

    // The module next to the executable, or in the build tree's filter folder; empty when
    // none is found. VELOMIX_MODULE overrides.
    static std::string DefaultPath();

private:
    typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
    typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();
    typedef HRESULT(STDAPICALLTYPE* RegisterServerFn)();

    void* m_hModule = nullptr;
    GetClassObjectFn m_pGetClassObject = nullptr;
    CanUnloadNowFn m_pCanUnloadNow = nullptr;
    RegisterServerFn m_pRegisterServer = nullptr;
    RegisterServerFn m_pUnregisterServer = nullptr;
    std::string m_Error;
    std::string m_Path;
};
