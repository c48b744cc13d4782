// The lookup side of the filter mapper, shared by both builds: it reads the entries the
// mapper (the platform's or the native store) keeps in the registry.
#include "FilterMapper.h"

#include "FilterData.h"
#include "GuidText.h"
#include "Registry.h"

#include <algorithm>

namespace {

// CLSID_LegacyAmFilterCategory: the mapper's default category.
VMX_DEFINE_GUID(kLegacyAmFilterCategory, 0x083863F1, 0x70DE, 0x11D0, 0xBD, 0x40, 0x00, 0xA0, 0xC9,
                0x11, 0xCE, 0x86);

std::string CategoryInstances() {
    return "CLSID\\" + GuidString(kLegacyAmFilterCategory) + "\\Instance";
}

bool Matches(const GUID& registered, const GUID& wanted) {
    return IsEqualGUID(registered, GUID_NULL) || IsEqualGUID(wanted, GUID_NULL) ||
           IsEqualGUID(registered, wanted);
}

bool HasInputFor(const FilterDataRecord& record, REFGUID major, REFGUID sub) {
    for (const FilterDataPin& pin : record.pins) {
        if (pin.dwFlags & kPinFlagOutput)
            continue;
        for (const auto& type : pin.types)
            if (Matches(type.first, major) && Matches(type.second, sub))
                return true;
    }
    return false;
}

} // namespace

std::string FilterInstanceKey(REFCLSID clsid) {
    return CategoryInstances() + '\\' + GuidString(clsid);
}

HRESULT FindFilterEntries(REFGUID major, REFGUID sub,
                          std::vector<FilterMapperEntry>* out) noexcept {
    if (!out)
        return E_POINTER;
    try {
        out->clear();
        CRegKey instances;
        LONG result = instances.OpenForRead(RegHive::ClassesRoot, CategoryInstances());
        if (result == ERROR_FILE_NOT_FOUND)
            return S_OK;
        std::vector<std::string> names;
        if (result == ERROR_SUCCESS)
            result = instances.EnumSubkeys(&names);
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
        for (const std::string& name : names) {
            CRegKey entry;
            if (entry.OpenForRead(RegHive::ClassesRoot, CategoryInstances() + '\\' + name) !=
                ERROR_SUCCESS)
                continue;
            std::string clsidText;
            FilterMapperEntry found{};
            DWORD type = 0;
            std::vector<BYTE> data;
            FilterDataRecord record;
            if (entry.QueryString("CLSID", &clsidText) != ERROR_SUCCESS ||
                !ParseGuidString(clsidText, &found.clsid) ||
                entry.QueryValue("FilterData", &type, &data) != ERROR_SUCCESS ||
                type != kRegBinary || !DecodeFilterData(data.data(), data.size(), &record) ||
                !HasInputFor(record, major, sub))
                continue;
            entry.QueryString("FriendlyName", &found.name);
            found.dwMerit = record.dwMerit;
            out->push_back(std::move(found));
        }
        std::stable_sort(out->begin(), out->end(),
                         [](const FilterMapperEntry& a, const FilterMapperEntry& b) {
                             return a.dwMerit > b.dwMerit;
                         });
        return S_OK;
    } catch (...) {
        out->clear();
        return E_OUTOFMEMORY;
    }
}

HRESULT FindFiltersByMediaType(REFGUID major, REFGUID sub, std::vector<CLSID>* out) noexcept {
    if (!out)
        return E_POINTER;
    std::vector<FilterMapperEntry> entries;
    const HRESULT hr = FindFilterEntries(major, sub, &entries);
    try {
        out->clear();
        for (const FilterMapperEntry& e : entries)
            out->push_back(e.clsid);
    } catch (...) {
        out->clear();
        return E_OUTOFMEMORY;
    }
    return hr;
}
