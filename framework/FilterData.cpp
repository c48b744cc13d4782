#include "FilterData.h"

#include <cstring>

namespace {

constexpr DWORD kVersion = 2;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kPinBytes = 24;
constexpr size_t kTypeBytes = 16;
constexpr size_t kGuidBytes = 16;
constexpr size_t kMediumBytes = 24; // GUID and two DWORDs

void PutDword(std::vector<BYTE>* out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<BYTE>(v >> (8 * i)));
}

void PutGuid(std::vector<BYTE>* out, const GUID& g) {
    PutDword(out, g.Data1);
    out->push_back(static_cast<BYTE>(g.Data2));
    out->push_back(static_cast<BYTE>(g.Data2 >> 8));
    out->push_back(static_cast<BYTE>(g.Data3));
    out->push_back(static_cast<BYTE>(g.Data3 >> 8));
    out->insert(out->end(), g.Data4, g.Data4 + 8);
}

DWORD GetDword(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

GUID GetGuid(const BYTE* p) {
    GUID g{};
    g.Data1 = GetDword(p);
    g.Data2 = static_cast<WORD>(p[4] | p[5] << 8);
    g.Data3 = static_cast<WORD>(p[6] | p[7] << 8);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

DWORD Signature(char first, const char* rest) {
    return static_cast<DWORD>(static_cast<BYTE>(first)) | static_cast<DWORD>(rest[0]) << 8 |
           static_cast<DWORD>(rest[1]) << 16 | static_cast<DWORD>(rest[2]) << 24;
}

// The GUID store: each GUID once, its offset relative to the start of the store.
class CGuidStore {
public:
    DWORD Offset(const GUID& g) {
        for (size_t i = 0; i < m_Guids.size(); ++i)
            if (IsEqualGUID(m_Guids[i], g))
                return static_cast<DWORD>(i * kGuidBytes);
        m_Guids.push_back(g);
        return static_cast<DWORD>((m_Guids.size() - 1) * kGuidBytes);
    }
    void AppendTo(std::vector<BYTE>* out) const {
        for (const GUID& g : m_Guids)
            PutGuid(out, g);
    }

private:
    std::vector<GUID> m_Guids;
};

} // namespace

std::vector<BYTE> EncodeFilterData(const AMOVIESETUP_FILTER& setup) {
    size_t cbFixed = kHeaderBytes;
    for (UINT i = 0; i < setup.nPins; ++i)
        cbFixed += kPinBytes + setup.lpPin[i].nMediaTypes * kTypeBytes;

    std::vector<BYTE> out;
    CGuidStore guids;
    PutDword(&out, kVersion);
    PutDword(&out, setup.dwMerit);
    PutDword(&out, setup.nPins);
    PutDword(&out, 0);
    for (UINT i = 0; i < setup.nPins; ++i) {
        const AMOVIESETUP_PIN& pin = setup.lpPin[i];
        const DWORD flags = (pin.bRendered ? kPinFlagRenderer : 0) |
                            (pin.bOutput ? kPinFlagOutput : 0) | (pin.bZero ? kPinFlagZero : 0) |
                            (pin.bMany ? kPinFlagMany : 0);
        PutDword(&out, Signature(static_cast<char>('0' + i), "pi3"));
        PutDword(&out, flags);
        PutDword(&out, 1);
        PutDword(&out, pin.nMediaTypes);
        PutDword(&out, 0);
        PutDword(&out, 0);
        for (UINT j = 0; j < pin.nMediaTypes; ++j) {
            const REGPINTYPES& type = pin.lpMediaType[j];
            PutDword(&out, Signature(static_cast<char>('0' + j), "ty3"));
            PutDword(&out, 0);
            PutDword(&out, static_cast<DWORD>(cbFixed) +
                               guids.Offset(type.clsMajorType ? *type.clsMajorType : GUID_NULL));
            PutDword(&out, static_cast<DWORD>(cbFixed) +
                               guids.Offset(type.clsMinorType ? *type.clsMinorType : GUID_NULL));
        }
    }
    guids.AppendTo(&out);
    return out;
}

bool DecodeFilterData(const BYTE* data, size_t cb, FilterDataRecord* out) {
    if (!data || cb < kHeaderBytes || GetDword(data) != kVersion)
        return false;
    FilterDataRecord record;
    record.dwMerit = GetDword(data + 4);
    const DWORD cPins = GetDword(data + 8);
    // Every pin takes at least its fixed part, so a count beyond that is malformed.
    if (cPins > (cb - kHeaderBytes) / kPinBytes)
        return false;
    auto fits = [cb](size_t offset, size_t size) { return offset <= cb && size <= cb - offset; };
    size_t pos = kHeaderBytes;
    for (DWORD i = 0; i < cPins; ++i) {
        if (!fits(pos, kPinBytes) || GetDword(data + pos) >> 8 != Signature(0, "pi3") >> 8)
            return false;
        FilterDataPin pin;
        pin.dwFlags = GetDword(data + pos + 4);
        pin.cInstances = GetDword(data + pos + 8);
        const DWORD cTypes = GetDword(data + pos + 12);
        pin.cMediums = GetDword(data + pos + 16);
        pin.bHasCategory = GetDword(data + pos + 20) != 0;
        pos += kPinBytes;
        if (pin.bHasCategory) {
            if (!fits(pos, 4) || !fits(GetDword(data + pos), kGuidBytes))
                return false;
            pin.category = GetGuid(data + GetDword(data + pos));
            pos += 4;
        }
        if (cTypes > (cb - pos) / kTypeBytes)
            return false;
        for (DWORD j = 0; j < cTypes; ++j) {
            if (!fits(pos, kTypeBytes) || GetDword(data + pos) >> 8 != Signature(0, "ty3") >> 8)
                return false;
            const DWORD major = GetDword(data + pos + 8);
            const DWORD minor = GetDword(data + pos + 12);
            if (!fits(major, kGuidBytes) || !fits(minor, kGuidBytes))
                return false;
            pin.types.emplace_back(GetGuid(data + major), GetGuid(data + minor));
            pos += kTypeBytes;
        }
        if (pin.cMediums > (cb - pos) / 4)
            return false;
        for (DWORD k = 0; k < pin.cMediums; ++k, pos += 4)
            if (!fits(GetDword(data + pos), kMediumBytes))
                return false;
        record.pins.push_back(std::move(pin));
    }
    *out = std::move(record);
    return true;
}
