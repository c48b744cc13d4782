// The module's class factory over its template table.
//
// The module defines g_Templates and g_cTemplates; DllGetClassObject and DllCanUnloadNow
// answer from them.
#pragma once

#include "Unknown.h"
#include "media.h"

typedef REGPINTYPES AMOVIESETUP_MEDIATYPE;
typedef REGFILTERPINS AMOVIESETUP_PIN;

// The filter-mapper record of a template (the framework's published setup record).
struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    const WCHAR* strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

// Makes an object: pUnkOuter is the controlling object (null when not aggregated); *phr is
// preset to S_OK and may be set to a failure, in which case the factory destroys the object.
typedef CUnknown* (*LPFNNewCOMObject)(IUnknown* pUnkOuter, HRESULT* phr);
typedef void (*LPFNInitRoutine)(BOOL bLoading, const CLSID* rclsid);

struct CFactoryTemplate {
    const WCHAR* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

    bool IsClassID(REFCLSID rclsid) const { return IsEqualCLSID(*m_ClsID, rclsid); }
};

extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

class CClassFactory final : public CSimpleObject<IClassFactory, IID_IClassFactory> {
public:
    explicit CClassFactory(const CFactoryTemplate* pTemplate) noexcept : m_pTemplate(pTemplate) {}

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    ~CClassFactory() override = default;

    const CFactoryTemplate* m_pTemplate;
};

// The bodies of the module's exported DllGetClassObject and DllCanUnloadNow.
HRESULT FrameworkGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
HRESULT FrameworkCanUnloadNow() noexcept;
