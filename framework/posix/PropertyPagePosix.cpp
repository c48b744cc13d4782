// The module's instance handle in the native build: its resource table.
#include "PropertyPage.h"
#include "posix/DialogModel.h"

HINSTANCE ModuleInstance() noexcept {
    return const_cast<ModuleResources*>(&g_Resources);
}
