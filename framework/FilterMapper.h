// Filter-mapper registration of the framework's setup records, and the lookup the graph uses.
//
// Windows: the platform's filter mapper (CLSID_FilterMapper2 with IFilterMapper2; the older
// IFilterMapper when that cannot be created). Elsewhere: a mapper store in the registry store
// of Registry.h, with the entries Windows' mapper writes: below HKEY_CLASSES_ROOT the key
// FilterInstanceKey(clsid) with "FriendlyName" (REG_SZ), "CLSID" (REG_SZ, the class identifier
// in braces) and "FilterData" (REG_BINARY, FilterData.h; the merit is inside it, as on
// Windows). The pin names of a setup record are not part of a mapper entry on either platform.
#pragma once

#include "ClassFactory.h"

#include <memory>
#include <string>
#include <vector>

// "CLSID\{083863F1-70DE-11D0-BD40-00A0C911CE86}\Instance\{clsid}": the entry of a filter
// registered under the mapper's default category with no instance name.
std::string FilterInstanceKey(REFCLSID clsid);

// A filter mapper for one registration or unregistration pass on the calling thread. Holds
// COM initialised on that thread from Create until destruction; the destructor releases the
// mapper, lets COM free the libraries no longer in use and uninitialises COM.
class CFilterMapper {
public:
    CFilterMapper() noexcept;
    ~CFilterMapper();
    CFilterMapper(const CFilterMapper&) = delete;
    CFilterMapper& operator=(const CFilterMapper&) = delete;

    // Initialises COM and creates the mapper; the failure of the last attempt when none can
    // be created.
    HRESULT Create() noexcept;
    // Registers the record as a REGFILTER2 of version 1 (merit, pins and media types from the
    // record) under the default category with no instance name. Replaces nothing by itself:
    // callers unregister first.
    HRESULT RegisterFilter(const AMOVIESETUP_FILTER& setup) noexcept;
    // Removes the class's entry from the default category: S_OK, 0x80070002 when there was
    // none, or another failure.
    HRESULT UnregisterFilter(REFCLSID clsid) noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// A registered filter as the lookup reports it.
struct FilterMapperEntry {
    CLSID clsid;
    std::string name; // "FriendlyName" as the registry gives it (ANSI on Windows, UTF-8 natively)
    DWORD dwMerit;
};

// The filters of the default category that have an input pin for the media type (a null
// GUID, registered or asked for, matches any), highest merit first, equal merits in the
// registry's order. Entries whose "CLSID" or "FilterData" cannot be read are skipped; a
// registry that cannot be read is a failure (HRESULT of the Win32 error). Reads the registry
// directly, so on Windows it sees the platform mapper's entries too. Callers that build graphs
// leave out what they consider too low a merit.
HRESULT FindFilterEntries(REFGUID major, REFGUID sub, std::vector<FilterMapperEntry>* out) noexcept;
// The class identifiers of FindFilterEntries, in its order.
HRESULT FindFiltersByMediaType(REFGUID major, REFGUID sub, std::vector<CLSID>* out) noexcept;
