#include "ModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <sys/stat.h>

CModuleLoader::~CModuleLoader() {
    // Unload only a module that says it may go (no object of it lives).
    if (m_hModule && m_pCanUnloadNow && m_pCanUnloadNow() == S_OK)
        dlclose(m_hModule);
}

bool CModuleLoader::Load(const std::string& path) {
    if (m_hModule)
        return true;
    m_Path = path;
    m_hModule = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_hModule) {
        const char* err = dlerror();
        m_Error = err ? err : "cannot load " + path;
        return false;
    }
    m_pGetClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(m_hModule, "DllGetClassObject"));
    m_pCanUnloadNow = reinterpret_cast<CanUnloadNowFn>(dlsym(m_hModule, "DllCanUnloadNow"));
    if (!m_pGetClassObject || !m_pCanUnloadNow) {
        m_Error = path + " does not export DllGetClassObject and DllCanUnloadNow";
        dlclose(m_hModule);
        m_hModule = nullptr;
        return false;
    }
    // Optional: only registration needs them.
    m_pRegisterServer = reinterpret_cast<RegisterServerFn>(dlsym(m_hModule, "DllRegisterServer"));
    m_pUnregisterServer =
        reinterpret_cast<RegisterServerFn>(dlsym(m_hModule, "DllUnregisterServer"));
    return true;
}

std::string CModuleLoader::DefaultPath() {
    if (const char* env = std::getenv("VELOMIX_MODULE"); env && *env)
        return env;
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return {};
    exe[n] = 0;
    std::string dir(exe);
    dir.erase(dir.find_last_of('/') + 1);
    for (const char* rel : {"Velomix.ax", "../filter/Velomix.ax", "../lib/velomix/Velomix.ax"}) {
        const std::string candidate = dir + rel;
        struct stat st {};
        if (stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // The registry records this path: make it the plain absolute one.
        char resolved[PATH_MAX];
        return realpath(candidate.c_str(), resolved) ? std::string(resolved) : candidate;
    }
    return {};
}
