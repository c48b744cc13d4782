// The filter mapper's binary "FilterData" value: a REGFILTER2 in the registry layout the
// platform's mapper writes (version 2), so that native entries hold the same bytes as Windows
// ones and one reader serves both.
//
// Layout, all numbers 32-bit little-endian, offsets counted from the first byte:
//   header        version (2), merit, pin count, 0
//   per pin       signature "0pi3" (first byte '0' + pin index), flags, instances,
//                 media type count, medium count, category present (0/1)
//                 [category GUID offset]
//     per type    signature "0ty3" (first byte '0' + type index), 0, major GUID offset,
//                 minor GUID offset
//     per medium  medium offset
//   then every GUID (and medium) once, in the order first used.
#pragma once

#include "ClassFactory.h"

#include <string>
#include <utility>
#include <vector>

// Pin flags (REG_PINFLAG_B_*).
constexpr DWORD kPinFlagZero = 0x1;
constexpr DWORD kPinFlagRenderer = 0x2;
constexpr DWORD kPinFlagMany = 0x4;
constexpr DWORD kPinFlagOutput = 0x8;

struct FilterDataPin {
    DWORD dwFlags = 0;
    DWORD cInstances = 0;
    std::vector<std::pair<GUID, GUID>> types; // major, minor
    bool bHasCategory = false;
    GUID category{};
    DWORD cMediums = 0;
};

struct FilterDataRecord {
    DWORD dwMerit = 0;
    std::vector<FilterDataPin> pins;
};

// The bytes the platform's mapper stores for a version-1 record: pin flags from rendered,
// output, zero and many; one instance per pin; no mediums or pin category; a missing type
// GUID stored as the null GUID. Throws std::bad_alloc only.
std::vector<BYTE> EncodeFilterData(const AMOVIESETUP_FILTER& setup);

// Reads a version-2 record, checking every count, offset and signature against the size;
// false when the bytes are not one. Throws std::bad_alloc only.
bool DecodeFilterData(const BYTE* data, size_t cb, FilterDataRecord* out);
