// The module's own file natively: the loaded object that holds this code.
#include "ModulePath.h"

#include "Registry.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <filesystem>

namespace {

// Any object of this file locates the module (or program) it was linked into.
const char kAnchor = 0;

std::string LoadedObjectPath() {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(&kAnchor, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map ||
        !map->l_name)
        return {};
    const std::string name = map->l_name;
    if (name.empty()) {
        // The main program: its map carries no name.
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        return n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    }
    // As the loader was given it, made absolute (a relative path counts from the working
    // folder, as the loader resolved it) and without "." and ".." parts, as Windows names it.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(name, error);
    return error ? std::string() : absolute.lexically_normal().string();
}

} // namespace

LONG ModuleFileFromInstance(std::string* path) noexcept {
    try {
        std::string name = LoadedObjectPath();
        if (name.empty())
            return ERROR_FILE_NOT_FOUND;
        // The registration's buffer holds 260 characters with the terminating zero.
        if (name.size() >= 260)
            return ERROR_INSUFFICIENT_BUFFER;
        *path = std::move(name);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

std::string ModuleFileByName() noexcept {
    try {
        std::string name = LoadedObjectPath();
        return name.size() < 2048 ? name : std::string();
    } catch (...) {
        return {};
    }
}
