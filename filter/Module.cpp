// The module's entry points and its factory template table.
#include "ClassFactory.h"
#include "CopyTransformFilter.h"
#include "InstallRecord.h"
#include "ModulePath.h"
#include "Registration.h"
#include "VelomixProp1.h"

namespace {

// Integer PCM and 32-bit float, both of which the filter takes: graph building inserts it after a
// parser or decoder that delivers either.
const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM},
                                           {&MEDIATYPE_Audio, &MEDIASUBTYPE_IEEE_FLOAT}};
constexpr UINT kPinTypeCount = sizeof(kPinTypes) / sizeof(kPinTypes[0]);

const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Input"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output",
     kPinTypeCount, kPinTypes},
    {const_cast<LPWSTR>(L"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input", kPinTypeCount,
     kPinTypes},
};

// Above every named merit, so that automatic graph building offers the filter first.
constexpr DWORD kMerit = 0xFFFFFFFF;

const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_Velomix, L"Velomix", kMerit, 2, kPins};

} // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Velomix", &CLSID_Velomix, CCopyTransformFilter::CreateInstance, nullptr, &kFilterSetup},
    {L"Velomix Property Page", &CLSID_VelomixProp1, CVelomixProp1::CreateInstance, nullptr,
     nullptr},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return FrameworkGetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return FrameworkCanUnloadNow();
}

// The installation record first; its outcome never changes the result.
STDAPI DllRegisterServer() {
    WriteInstallRecord(ModuleFileByName());
    return AMovieDllRegisterServer2(TRUE);
}

// The framework's unregistration only: the installation record stays.
STDAPI DllUnregisterServer() {
    return AMovieDllRegisterServer2(FALSE);
}
