#include "RegisterCommand.h"

#include "FilterMapper.h"
#include "GuidText.h"
#include "ModuleLoader.h"
#include "Registry.h"
#include "media.h"

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

// The module's file as it registers itself: absolute, in normal form.
std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string Meaning(HRESULT hr) {
    if ((static_cast<unsigned>(hr) & 0xFFFF0000u) == 0x80070000u)
        return RegErrorText(static_cast<LONG>(hr & 0xFFFF));
    switch (hr) {
    case E_NOTIMPL:
        return "the module does not export this entry point";
    case E_OUTOFMEMORY:
        return "out of memory";
    case REGDB_E_CLASSNOTREG:
        return "the filter mapper is not available";
    default:
        return "failure";
    }
}

// Windows paths compare without regard to case.
bool SameFile(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    const bool bWindows = a.find('\\') != std::string::npos;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (bWindows && x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (bWindows && y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// What the registry now holds for the module file: the classes it serves and their
// filter-mapper entries.
void PrintRegistered(const std::string& file) {
    CRegKey classes;
    std::vector<std::string> names;
    if (classes.OpenForRead(RegHive::ClassesRoot, "CLSID") != ERROR_SUCCESS ||
        classes.EnumSubkeys(&names) != ERROR_SUCCESS)
        return;
    std::vector<FilterMapperEntry> filters;
    FindFilterEntries(GUID_NULL, GUID_NULL, &filters);
    for (const std::string& name : names) {
        CRegKey server;
        std::string path;
        if (server.OpenForRead(RegHive::ClassesRoot, "CLSID\\" + name + "\\InprocServer32") !=
                ERROR_SUCCESS ||
            server.QueryString("", &path) != ERROR_SUCCESS || !SameFile(path, file))
            continue;
        CRegKey cls;
        std::string display;
        if (cls.OpenForRead(RegHive::ClassesRoot, "CLSID\\" + name) == ERROR_SUCCESS)
            cls.QueryString("", &display);
        std::printf("  class %s \"%s\"\n", name.c_str(), display.c_str());
        GUID clsid{};
        for (const FilterMapperEntry& f : filters)
            if (ParseGuidString(name, &clsid) && IsEqualGUID(clsid, f.clsid))
                std::printf("  filter-mapper entry \"%s\", merit 0x%08X\n", f.name.c_str(),
                            static_cast<unsigned>(f.dwMerit));
    }
}

} // namespace

int RunRegisterCommand(bool bRegister, const std::string& modulePath) {
    const std::string path = modulePath.empty() ? CModuleLoader::DefaultPath() : modulePath;
    if (path.empty()) {
        std::fprintf(stderr,
                     "velomix: cannot find Velomix.ax (set VELOMIX_MODULE or pass --module)\n");
        return 1;
    }
    CModuleLoader module;
    if (!module.Load(path)) {
        std::fprintf(stderr, "velomix: %s\n", module.Error().c_str());
        return 1;
    }
    const HRESULT hr = bRegister ? module.RegisterServer() : module.UnregisterServer();
    if (FAILED(hr)) {
        std::fprintf(stderr, "velomix: %s %s failed: %s (%s)\n",
                     bRegister ? "registering" : "unregistering", path.c_str(), Hex(hr).c_str(),
                     Meaning(hr).c_str());
        const std::string problem = RegStoreProblem();
        if (!problem.empty())
            std::fprintf(stderr, "velomix: %s\n", problem.c_str());
        return 1;
    }
    const std::string store = RegStoreFolder();
    std::printf("%s %s%s%s%s\n", bRegister ? "Registered" : "Unregistered", path.c_str(),
                store.empty() ? "" : " (registry store ", store.c_str(), store.empty() ? "" : ")");
    if (bRegister)
        PrintRegistered(AbsolutePath(path));
    else
        std::printf("  classes and filter-mapper entries removed; the installation record stays\n");
    return 0;
}
