// velomix register | unregister: the module's own DllRegisterServer / DllUnregisterServer.
#pragma once

#include <string>

// Loads the module (modulePath, else CModuleLoader::DefaultPath()), calls its registration
// or unregistration entry point, and prints what happened: on success what the registry now
// holds for the module file (its classes, its filter-mapper entries), on failure the result
// code with its meaning and, for a corrupt registry store, where it is corrupt. Returns 0 on
// success, 1 on any failure.
int RunRegisterCommand(bool bRegister, const std::string& modulePath);
