#include "Settings.h"

#include "Profile.h"

#include <array>
#include <limits>

namespace {

int32_t ToInt32Saturated(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool bNegative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    // Accumulate in 64 bits and stop growing once past the 32-bit range: no overflow, however
    // many digits follow.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t nMagnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (nMagnitude <= kLimit) {
            nMagnitude = nMagnitude * 10 + (*text - '0');
        }
    }
    const int64_t nValue = bNegative ? -nMagnitude : nMagnitude;
    if (nValue > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (nValue < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(nValue);
}

int32_t ReadInteger(const SettingsEntry& entry, const std::string& iniPath) {
    std::array<char, kFastEntry.nBufferChars> buffer{};
    static_assert(kHighEffectEntry.nBufferChars == buffer.size() &&
                  kHighEffectLenEntry.nBufferChars == buffer.size());
    ReadProfileString(entry.szSection, entry.szKey, entry.szDefault, buffer.data(),
                      static_cast<uint32_t>(buffer.size()), iniPath.c_str());
    return ToInt32Saturated(buffer.data());
}

} // namespace

bool IsValidSpeedFactor(double dFactor) noexcept {
    // The comparisons are false for NaN; the upper one rejects +inf, the lower one -inf.
    return dFactor >= kSpeedFactorLimits.dMin && dFactor <= kSpeedFactorLimits.dMax;
}

bool IsValidPitch(int32_t nSemitones) noexcept {
    return nSemitones >= kPitchLimits.nMin && nSemitones <= kPitchLimits.nMax;
}

InitSettings ReadInitSettings(const std::string& iniPath) {
    InitSettings settings;
    settings.bFast = ReadInteger(kFastEntry, iniPath) != 0;
    settings.bHighEffect = ReadInteger(kHighEffectEntry, iniPath) != 0;
    settings.nHighEffectLen = ReadInteger(kHighEffectLenEntry, iniPath);
    settings.bRestamp = ReadInteger(kRestampEntry, iniPath) != 0;
    settings.bSegmentRate = ReadInteger(kSegmentRateEntry, iniPath) != 0;
    return settings;
}

std::string ReadSpeedTuningText(const std::string& iniPath, const char* key,
                                const char* defaultText) {
    try {
        std::array<char, kSpeedBufferChars> buffer{};
        const uint32_t nLength = ReadProfileString(kSpeedSection, key, defaultText, buffer.data(),
                                                   kSpeedBufferChars, iniPath.c_str());
        return std::string(buffer.data(), nLength);
    } catch (...) {
        return {};
    }
}
