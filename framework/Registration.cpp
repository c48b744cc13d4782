#include "Registration.h"

#include "FilterMapper.h"
#include "GuidText.h"
#include "ModulePath.h"
#include "Registry.h"

namespace {

// The mapper's answer for an entry that is not there.
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);

HRESULT AcceptMissing(HRESULT hr) {
    return hr == kFileNotFound ? S_OK : hr;
}

std::string ClassKey(const CFactoryTemplate& t) {
    return "CLSID\\" + GuidString(*t.m_ClsID);
}

LONG WriteClassKeys(const CFactoryTemplate& t, const std::string& modulePath) {
    CRegKey key;
    LONG result = key.Create(RegHive::ClassesRoot, ClassKey(t));
    if (result == ERROR_SUCCESS)
        result = key.SetString("", t.m_Name);
    if (result == ERROR_SUCCESS)
        result = key.Create(RegHive::ClassesRoot, ClassKey(t) + "\\InprocServer32");
    if (result == ERROR_SUCCESS)
        result = key.SetString("", modulePath);
    if (result == ERROR_SUCCESS)
        result = key.SetString("ThreadingModel", std::string("Both"));
    return result;
}

HRESULT Register(const CFactoryTemplate* pTemplates, int cTemplates,
                 const std::string& modulePath) {
    for (int i = 0; i < cTemplates; ++i) {
        const LONG result = WriteClassKeys(pTemplates[i], modulePath);
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
    }
    CFilterMapper mapper;
    HRESULT hr = mapper.Create();
    for (int i = 0; SUCCEEDED(hr) && i < cTemplates; ++i) {
        const AMOVIESETUP_FILTER* pSetup = pTemplates[i].m_pAMovieSetup_Filter;
        if (!pSetup)
            continue;
        // Replaces an earlier entry of the class; there may be none.
        mapper.UnregisterFilter(*pSetup->clsID);
        hr = AcceptMissing(mapper.RegisterFilter(*pSetup));
    }
    return hr;
}

HRESULT Unregister(const CFactoryTemplate* pTemplates, int cTemplates) {
    HRESULT hr;
    {
        CFilterMapper mapper;
        hr = mapper.Create();
        for (int i = 0; SUCCEEDED(hr) && i < cTemplates; ++i) {
            const AMOVIESETUP_FILTER* pSetup = pTemplates[i].m_pAMovieSetup_Filter;
            if (pSetup)
                hr = AcceptMissing(mapper.UnregisterFilter(*pSetup->clsID));
        }
    }
    if (SUCCEEDED(hr))
        for (int i = 0; i < cTemplates; ++i)
            RegDeleteKeyTree(RegHive::ClassesRoot, ClassKey(pTemplates[i]));
    return hr;
}

} // namespace

HRESULT RegisterTemplates(const CFactoryTemplate* pTemplates, int cTemplates,
                          BOOL bRegister) noexcept {
    try {
        std::string modulePath;
        const LONG result = ModuleFileFromInstance(&modulePath);
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
        return bRegister ? Register(pTemplates, cTemplates, modulePath)
                         : Unregister(pTemplates, cTemplates);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
