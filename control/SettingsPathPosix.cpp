#include "SettingsPath.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

// getpwuid_r rather than getpwuid: filters are created on any thread of the host.
std::string AccountHomeFolder() {
    long nHint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(nHint > 0 ? static_cast<size_t>(nHint) : 4096);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int nError = ::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found);
        if (nError == ERANGE && scratch.size() < (size_t{1} << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (nError != 0 || found == nullptr || !IsAbsolute(found->pw_dir)) {
            return {};
        }
        return found->pw_dir;
    }
}

std::string ConfigFolder() {
    const char* xdgConfig = std::getenv("XDG_CONFIG_HOME");
    if (IsAbsolute(xdgConfig)) {
        return xdgConfig;
    }
    const char* home = std::getenv("HOME");
    std::string base = IsAbsolute(home) ? std::string(home) : AccountHomeFolder();
    return base.empty() ? base : base + "/.config";
}

} // namespace

bool EnsureFolderExists(const std::string& folder) {
    try {
        if (folder.empty()) {
            return false;
        }
        if (IsFolder(folder)) {
            return true;
        }
        for (size_t nSlash = folder.find('/', 1); nSlash != std::string::npos;
             nSlash = folder.find('/', nSlash + 1)) {
            ::mkdir(folder.substr(0, nSlash).c_str(), 0700);
        }
        ::mkdir(folder.c_str(), 0700);
        return IsFolder(folder);
    } catch (...) {
        return false;
    }
}

std::string SettingsFilePath() {
    try {
        const std::string config = ConfigFolder();
        if (config.empty()) {
            // Never fall back to a folder at the file system's root.
            return {};
        }
        const std::string folder = config + "/Korvane/Player";
        EnsureFolderExists(folder);
        return folder + "/VELO.INI";
    } catch (...) {
        return {};
    }
}
