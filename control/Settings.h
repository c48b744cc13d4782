#pragma once

#include "velomix_speed.h"

#include <cstdint>
#include <string>

// The filter's settings in one place: the keys of the settings file "VELO.INI" with their
// default texts and read buffers, and the ranges of the three speed values. The reader below,
// the setters of IVelomixProp and the property page's sliders all take their numbers from here;
// the accepted ranges come from the kit (velomix_speed.h), which controllers check against.

// A value of the settings file. Texts are converted where they are used.
struct SettingsEntry {
    const char* szSection;
    const char* szKey;
    const char* szDefault;
    uint32_t nBufferChars; // read buffer including the terminating zero; longer values are cut
};

// Section "INIT": the engine options, read once when a filter object is made; converted as
// decimal integers, with no range check (the engine receives them as they are).
// "FAST": the engine's quick seek, on when nonzero.
inline constexpr SettingsEntry kFastEntry{"INIT", "FAST", "1", 512};
// "HIGH_EFFECT": the engine's anti-alias filter, on when nonzero.
inline constexpr SettingsEntry kHighEffectEntry{"INIT", "HIGH_EFFECT", "1", 512};
// "HIGH_EFFECT_LEN": the anti-alias filter's length, passed only when "HIGH_EFFECT" is on.
inline constexpr SettingsEntry kHighEffectLenEntry{"INIT", "HIGH_EFFECT_LEN", "32", 512};
// "RESTAMP": nonzero stamps output samples by the audio they carry (what a renderer that plays
// by time stamps needs); 0 keeps the input's time span on its outputs.
inline constexpr SettingsEntry kRestampEntry{"INIT", "RESTAMP", "0", 512};
// "SEGMENT_RATE": nonzero takes the rate of each new segment (a player's SetRate on the graph)
// as a tempo factor on top of the tempo set, and passes the segment on at rate 1.0 with its
// outputs in the stream's time; 0 passes segments on as they come.
inline constexpr SettingsEntry kSegmentRateEntry{"INIT", "SEGMENT_RATE", "0", 512};

// Section "SPEED": stretch tuning per tempo band, keys and defaults given by the caller.
inline constexpr const char* kSpeedSection = "SPEED";
inline constexpr uint32_t kSpeedBufferChars = 2048;

// Tempo and rate factors (1.0 = normal) and the pitch shift in semitones (0 = none).
// The control interface accepts only values within [dMin, dMax] and [nMin, nMax]; the property
// page's sliders cover the narrower page span, factors in steps of dPageStep, the pitch in steps
// of one semitone.
struct FactorLimits {
    double dMin;
    double dMax;
    double dPageMin;
    double dPageMax;
    double dPageStep;
};
struct PitchLimits {
    int32_t nMin;
    int32_t nMax;
    int32_t nPageMin;
    int32_t nPageMax;
};
inline constexpr FactorLimits kSpeedFactorLimits{VELOMIX_FACTOR_MIN, VELOMIX_FACTOR_MAX, 0.05, 4.00,
                                                 0.01};
inline constexpr PitchLimits kPitchLimits{VELOMIX_PITCH_MIN, VELOMIX_PITCH_MAX, -10, 10};

// True for a finite tempo or rate factor within [0.05, 50.0]; false for NaN and infinities.
bool IsValidSpeedFactor(double dFactor) noexcept;

// True for a pitch shift within [-60, +60] semitones.
bool IsValidPitch(int32_t nSemitones) noexcept;

// The number a default text above stands for ("1" -> 1): digits after an optional '-'.
constexpr int32_t DefaultNumber(const SettingsEntry& entry) {
    const char* text = entry.szDefault;
    const bool bNegative = *text == '-';
    int32_t nValue = 0;
    for (text += bNegative ? 1 : 0; *text >= '0' && *text <= '9'; ++text) {
        nValue = nValue * 10 + (*text - '0');
    }
    return bNegative ? -nValue : nValue;
}

// The "INIT" section as the filter uses it. A default-made one holds the defaults of the entries
// above, as a missing file gives them.
struct InitSettings {
    bool bFast = DefaultNumber(kFastEntry) != 0;                 // "FAST" nonzero
    bool bHighEffect = DefaultNumber(kHighEffectEntry) != 0;     // "HIGH_EFFECT" nonzero
    int32_t nHighEffectLen = DefaultNumber(kHighEffectLenEntry); // "HIGH_EFFECT_LEN"
    bool bRestamp = DefaultNumber(kRestampEntry) != 0;           // "RESTAMP" nonzero
    bool bSegmentRate = DefaultNumber(kSegmentRateEntry) != 0;   // "SEGMENT_RATE" nonzero
};

// Reads "FAST", "HIGH_EFFECT", "HIGH_EFFECT_LEN", "RESTAMP" and "SEGMENT_RATE" from `iniPath`. Each
// text converts as atol does: leading blanks and one sign allowed, digits up to the first other
// character, no digits gives 0; values beyond the 32-bit range saturate. So "yes" and a present
// empty value give 0, not the default. A missing or unreadable file gives the defaults. Throws
// nothing.
InitSettings ReadInitSettings(const std::string& iniPath);

// The text of `key` in section "SPEED" of `iniPath` (cut at 2047 characters), or `defaultText`
// when the file, section or key is missing. Read from the file on every call. Throws nothing
// (returns the empty string when out of memory).
std::string ReadSpeedTuningText(const std::string& iniPath, const char* key,
                                const char* defaultText);
