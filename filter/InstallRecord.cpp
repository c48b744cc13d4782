#include "InstallRecord.h"

#include "Registry.h"

#include <cstdio>

namespace {

// Texts longer than this (in UTF-16 units, as the registry counts them) are not written.
constexpr size_t kMaxValueChars = 254;

// UTF-16 units of UTF-8 text: one per character, two for one beyond the BMP (a four-byte
// sequence). Counting bytes would refuse a path that fits.
size_t Utf16Length(const std::string& text) {
    size_t n = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            n += byte >= 0xF0 ? 2 : 1;
    }
    return n;
}

void WriteValue(RegHive hive, const std::string& path, const std::string& name,
                const std::string& text) {
    {
        CRegKey created;
        if (created.Create(hive, path) != ERROR_SUCCESS)
            return;
    }
    if (Utf16Length(text) > kMaxValueChars)
        return;
    CRegKey key;
    if (key.OpenForWrite(hive, path) == ERROR_SUCCESS)
        key.SetString(name, text);
}

} // namespace

std::string InstallRecordKey() {
    char key[128];
    std::snprintf(key, sizeof(key), "SOFTWARE\\Classes\\CLSID\\{%s}",
                  "8294CF21-9550-45fb-9CF4-E96E375D2964");
    return key;
}

void WriteInstallRecord(const std::string& modulePath) noexcept {
    try {
        const std::string key = InstallRecordKey();
        const std::string version = key + "\\InstalledVersion";
        for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
            WriteValue(hive, key, "", "VELO");
            WriteValue(hive, version, "", "3,0,0,1");
            if (!modulePath.empty())
                WriteValue(hive, version, "Path", modulePath);
        }
    } catch (...) {
        // Out of memory: the record is best effort and reports nothing.
    }
}
