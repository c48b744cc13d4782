// The framework's self-registration of a module's factory template table.
#pragma once

#include "ClassFactory.h"

// Registers (bRegister TRUE) or unregisters the templates, on the caller's thread, without a
// lock. Throws nothing.
//
// Registration: reads the module's file from its instance handle (ModuleFileFromInstance; a
// failure is returned as its HRESULT). For each template in table order, below
// HKEY_CLASSES_ROOT: the key "CLSID\{CLSID}" (upper case) with the display name as its default
// value, its subkey "InprocServer32" with the module's file as default value and
// "ThreadingModel" = "Both"; the first registry error ends the registration. Then the filter
// mapper (CFilterMapper; failing to create it is the result) and, for each template with a
// setup record: UnregisterFilter (outcome ignored), then RegisterFilter. 0x80070002 counts as
// success; the first other failure stops the loop and is returned.
//
// Unregistration: the module's file as above; the mapper; for each template with a setup
// record UnregisterFilter (0x80070002 counts as success, the first other failure stops). Only
// when all of that succeeded, each template's class key tree is deleted (errors ignored).
HRESULT RegisterTemplates(const CFactoryTemplate* pTemplates, int cTemplates,
                          BOOL bRegister) noexcept;

// The registration a module exports, over its own table g_Templates.
inline HRESULT AMovieDllRegisterServer2(BOOL bRegister) noexcept {
    return RegisterTemplates(g_Templates, g_cTemplates, bRegister);
}
