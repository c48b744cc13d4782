// The module's own file.
//
// Windows: the framework supplies the module's DllMain, which at process attach records the
// module's instance handle and turns off the per-thread attach and detach notifications;
// nothing else runs at load or unload. Natively nothing runs at load either.
#pragma once

#include "com.h"

#include <string>

// The module's file as the framework's registration reads it from the instance handle: on
// Windows UTF-8 (GetModuleFileNameW), at most 259 UTF-16 units. ERROR_SUCCESS, or the system's
// error number; a longer name gives ERROR_INSUFFICIENT_BUFFER rather than a cut path. Native: the
// path of the loaded object that holds this code (dladdr), made absolute.
LONG ModuleFileFromInstance(std::string* path) noexcept;

// The module's file looked up by its names: Windows: the loaded module "Velomix.ax", else
// "VELO.ax", else (renamed file) the module holding this code; its full name, read into a buffer
// of 2048 UTF-16 units, as UTF-8. Native: the loaded object holding this code, whichever name its
// file has. Empty when no name can be read whole.
std::string ModuleFileByName() noexcept;
