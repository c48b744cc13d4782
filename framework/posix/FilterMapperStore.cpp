// CFilterMapper over the native registry store: the same entries Windows' mapper writes.
#include "FilterMapper.h"

#include "FilterData.h"
#include "GuidText.h"
#include "RegistryStore.h"

struct CFilterMapper::Impl {};

CFilterMapper::CFilterMapper() noexcept = default;
CFilterMapper::~CFilterMapper() = default;

// The store is always there; nothing to initialise.
HRESULT CFilterMapper::Create() noexcept {
    return S_OK;
}

HRESULT CFilterMapper::RegisterFilter(const AMOVIESETUP_FILTER& setup) noexcept {
    if (!setup.clsID)
        return E_POINTER;
    try {
        const std::vector<BYTE> data = EncodeFilterData(setup);
        const std::string name = regstore::Utf8(setup.strName ? setup.strName : L"");
        const std::string clsid = GuidString(*setup.clsID);
        const std::string path = FilterInstanceKey(*setup.clsID);
        std::vector<std::string> parts;
        regstore::SplitPath(path, &parts);
        // One change of the store: another process registering at the same time sees the entry
        // whole or not at all, never a key its own unregistration emptied halfway.
        const LONG result = regstore::ModifyHive(
            RegHive::ClassesRoot, [&](regstore::CHive& hive, bool* changed) -> LONG {
                if (!hive.HasRoomFor(parts))
                    return ERROR_REGISTRY_QUOTA_LIMIT;
                *changed = hive.CreateKey(parts);
                regstore::Key* key = hive.Find(path);
                auto set = [&](const char* value, DWORD type, const void* bytes, size_t cb) {
                    *changed |= regstore::CHive::SetValue(key, value, type,
                                                          static_cast<const BYTE*>(bytes), cb);
                };
                set("FriendlyName", kRegSz, name.c_str(), name.size() + 1);
                set("CLSID", kRegSz, clsid.c_str(), clsid.size() + 1);
                set("FilterData", kRegBinary, data.data(), data.size());
                return ERROR_SUCCESS;
            });
        return HRESULT_FROM_WIN32(result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CFilterMapper::UnregisterFilter(REFCLSID clsid) noexcept {
    try {
        const LONG result = RegDeleteKeyTree(RegHive::ClassesRoot, FilterInstanceKey(clsid));
        return HRESULT_FROM_WIN32(result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
