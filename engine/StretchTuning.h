#pragma once

#include <cstdint>
#include <string>

// Stretch tuning: the time-stretch engine's sequence, seek-window and overlap lengths, in
// milliseconds, chosen per tempo band. The settings file's "SPEED" section may override a band's
// triple under the band's key; the filter reads that text and hands it to ParseStretchTuning.
// Pure functions: no file access, no state, callable from any thread.

struct StretchTuning {
    int32_t sequenceMs;
    int32_t seekWindowMs;
    int32_t overlapMs;
};

// The tuning an engine starts from, and what the fields a "SPEED" value leaves out keep.
inline constexpr StretchTuning kDefaultStretchTuning{82, 14, 12};

struct StretchBand {
    const char* key;      // settings key in section "SPEED": "1.0", "1.2", ... "2.0"
    StretchTuning tuning; // applies when the key is missing (as the text StretchTuningText gives)
};

// The longest tuning length the engine is given, in ms; longer values are treated as invalid,
// like negative ones (the engine computes sample counts from them in 32-bit arithmetic).
constexpr int32_t kMaxStretchTuningMs = 1000;

// The band of tempo factor t, bounds tested in this order:
//   1.0 < t <= 1.2 -> "1.2" (82,14,12)    1.2 < t <= 1.4 -> "1.4" (82,14,12)
//   1.4 < t <= 1.6 -> "1.6" (66,14,12)    1.6 < t <= 1.8 -> "1.8" (56,14,12)
//   t > 1.8        -> "2.0" (56,14,12)    anything else (t <= 1.0, NaN) -> "1.0" (82,14,12)
// The reference stays valid for the life of the program.
const StretchBand& SelectStretchBand(double tempo);

// The three lengths as a "SPEED" value: "82,14,12".
std::string StretchTuningText(const StretchTuning& tuning);

// Parses a "SPEED" value such as "66,14,12" into the three lengths, which the caller preloads.
// The text is split at ',' with empty fields skipped; the first three fields are converted in
// order (base 10, leading blanks allowed, conversion stops at the first non-digit, a field without
// digits gives 0). Fields past the third are ignored; when fewer are present the remaining outputs
// keep their preloaded values. A negative number, or one above kMaxStretchTuningMs, is replaced by
// the band's default for that field; 0 stays 0 (the engine then chooses the length itself).
// A null text changes nothing.
void ParseStretchTuning(const char* text, const StretchBand& band, StretchTuning& tuning);

// A speed factor (1.0 = normal) as the engine's whole-percent change: the factor counted in
// millionths (its exact value x 10^6, rounded half away from zero), minus 10^6, divided by 10^4
// and truncated toward zero. So a factor with at most two decimals, as its nearest double, gives
// exactly its percent (1.15 -> 15, 0.05 -> -95); one with more is taken to the millionth and
// truncated toward zero (1.155 -> 15, 0.995 -> 0, 0.639 -> -36, 1.0099999 -> 1). No rounded
// floating-point step: the same result on every build, whatever the FPU's precision. Results
// beyond the int32 range saturate; NaN gives 0. The one conversion from factor to percent: the
// filter judges the envelope and feeds the engine through it, hosts never repeat it.
int32_t SpeedFactorToPercent(double factor);
