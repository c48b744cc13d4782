// The calls into the loaded module, the same on every platform.
#include "ModuleLoader.h"

HRESULT CModuleLoader::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const {
    return m_pGetClassObject ? m_pGetClassObject(rclsid, riid, ppv) : E_UNEXPECTED;
}

HRESULT CModuleLoader::CanUnloadNow() const {
    return m_pCanUnloadNow ? m_pCanUnloadNow() : E_UNEXPECTED;
}

HRESULT CModuleLoader::RegisterServer() const {
    if (!m_hModule)
        return E_UNEXPECTED;
    return m_pRegisterServer ? m_pRegisterServer() : E_NOTIMPL;
}

HRESULT CModuleLoader::UnregisterServer() const {
    if (!m_hModule)
        return E_UNEXPECTED;
    return m_pUnregisterServer ? m_pUnregisterServer() : E_NOTIMPL;
}
