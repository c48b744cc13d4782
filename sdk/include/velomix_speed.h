/* velomix_speed.h: the ranges of Velomix's three speed values and its speed envelope, in plain
 * C99 (also C++) without COM: the same code the filter judges its values with, so a controller
 * can check a combination before it sends it and get the filter's own answer. velomix.h
 * includes it; it also stands alone.
 *
 * - Tempo and rate are factors (1.0 unchanged), accepted from VELOMIX_FACTOR_MIN to
 *   VELOMIX_FACTOR_MAX; pitch is a shift in whole semitones, VELOMIX_PITCH_MIN to
 *   VELOMIX_PITCH_MAX.
 * - The filter works on tempo and rate in hundredths (velomix_factor_hundredths): a factor with
 *   up to two decimals exactly (1.15 is 115), one with more taken to the millionth and cut
 *   toward 1.0 (0.639 is 64, 1.155 is 115), in integers, alike on every build.
 * - The speed envelope (velomix_in_speed_envelope): a shift of n semitones is a time stretch at
 *   T = tempo / 2^(n/12) and a resampling at R = rate x 2^(n/12); both T and R, in hundredths,
 *   must lie within VELOMIX_STAGE_HUNDREDTHS_MIN to VELOMIX_STAGE_HUNDREDTHS_MAX (0.02 to 50),
 *   bounds included. Judged exactly, in integers: 2^(n/12) is irrational unless n is a whole
 *   number of octaves, where T and R reach the bounds exactly (tempo 0.04 at -12 semitones is
 *   inside, as is rate 25 at +12).
 */
#ifndef VELOMIX_SPEED_H
#define VELOMIX_SPEED_H

#include <math.h>
#include <stdint.h>

#define VELOMIX_FACTOR_MIN 0.05
#define VELOMIX_FACTOR_MAX 50.0
#define VELOMIX_PITCH_MIN (-60)
#define VELOMIX_PITCH_MAX 60
/* The factor range in hundredths. */
#define VELOMIX_HUNDREDTHS_MIN 5
#define VELOMIX_HUNDREDTHS_MAX 5000
/* Each of the engine's two stages within 0.02 to 50: beyond, its work per second of input grows
   without bound. */
#define VELOMIX_STAGE_HUNDREDTHS_MIN 2
#define VELOMIX_STAGE_HUNDREDTHS_MAX 5000

/* A factor counted in millionths: its exact value x 10^6, rounded half away from zero, for
   |factor| < 2^31. Computed from the double's bits in integers, with no floating-point product
   whose rounding could differ between builds (x87 and SSE). */
static inline int64_t velomix_factor_millionths(double factor) {
    const double magnitude = fabs(factor);
    const double whole = floor(magnitude);
    /* The fraction is a double, exactly; from 1/256 up its last bit lies at 2^-61 or above, so
       bits holds it whole. Below 1/256 the bits past 2^-61 are dropped: worth under 10^-12
       millionths, and the same on every build. */
    const uint64_t bits = (uint64_t)ldexp(magnitude - whole, 61);
    /* bits x 10^6 / 2^61 = bits x 15625 / 2^55, the product in two halves to stay in 64 bits:
       bits x 15625 = high x 2^32 + low, high < 2^43, low < 2^46. */
    const uint64_t high = (bits >> 32) * 15625u;
    const uint64_t low = (bits & 0xFFFFFFFFu) * 15625u;
    const uint64_t rest = ((high & (((uint64_t)1 << 23) - 1)) << 32) + low; /* < 2^56 */
    const uint64_t remainder = rest & (((uint64_t)1 << 55) - 1);
    const uint64_t fraction =
        (high >> 23) + (rest >> 55) + (remainder >= ((uint64_t)1 << 54) ? 1u : 0u);
    const int64_t millionths = (int64_t)whole * 1000000 + (int64_t)fraction;
    return factor < 0 ? -millionths : millionths;
}

/* A tempo or rate factor as the filter applies it, in hundredths: its millionths cut toward
   1.0 to whole hundredths. VELOMIX_HUNDREDTHS_MIN..MAX for a factor within
   VELOMIX_FACTOR_MIN..MAX; 0 for any other, NaN and infinities included. */
static inline int32_t velomix_factor_hundredths(double factor) {
    if (!(factor >= VELOMIX_FACTOR_MIN && factor <= VELOMIX_FACTOR_MAX))
        return 0;
    /* C99 division truncates toward zero: toward a factor of 1.0. */
    return (int32_t)(100 + (velomix_factor_millionths(factor) - 1000000) / 10000);
}

/* The sign of x - k x 2^(m/12), exactly, for 0 <= x, k <= 5000 and -60 <= m <= 60. With
   m = 12q + s (s in 0..11) both sides are scaled by 2^40 (and by 2^-q where q < 0): x exactly,
   k x 2^(s/12) through the table below, which holds floor(2^(s/12) x 2^40) (exact for s = 0).
   A scaled x at or below the scaled table value lies below the true value unless s = 0 (no
   rounding there, so equal is equal); above it, x lies above the true value too: no multiple
   of 2^40 falls between them for any x, k and m the envelope asks about (the exhaustive test
   of velomix_in_speed_envelope holds every one against big-integer arithmetic). At most 2^59:
   no overflow. */
static inline int velomix_stage_compare(int32_t x, int32_t k, int32_t m) {
    static const uint64_t kScaledRoots[12] = {0x10000000000u, 0x10F38F92D97u, 0x11F59AC3C7Du,
                                              0x1306FE0A31Bu, 0x1428A2F98D7u, 0x155B8108F0Eu,
                                              0x16A09E667F3u, 0x17F910D768Cu, 0x1965FEA53D6u,
                                              0x1AE89F995ADu, 0x1C823E074ECu, 0x1E3437E7101u};
    const int32_t q = (m >= 0 ? m : m - 11) / 12;
    const int32_t s = m - 12 * q;
    const uint64_t scaledX = (uint64_t)x << (40 + (q < 0 ? -q : 0));
    const uint64_t scaledK = ((uint64_t)k * kScaledRoots[s]) << (q > 0 ? q : 0);
    if (scaledX < scaledK)
        return -1;
    if (scaledX == scaledK)
        return s == 0 ? 0 : -1;
    return 1;
}

/* 1 when tempo and rate in hundredths (VELOMIX_HUNDREDTHS_MIN..MAX each) and a pitch shift in
   semitones (VELOMIX_PITCH_MIN..MAX) are each in range and together inside the speed envelope:
   T = tempo / 2^(pitch/12) and R = rate x 2^(pitch/12) both within
   VELOMIX_STAGE_HUNDREDTHS_MIN..MAX, bounds included; else 0. The exact answer for every
   input. */
static inline int velomix_in_speed_envelope(int32_t tempoHundredths, int32_t rateHundredths,
                                            int32_t pitch) {
    if (tempoHundredths < VELOMIX_HUNDREDTHS_MIN || tempoHundredths > VELOMIX_HUNDREDTHS_MAX ||
        rateHundredths < VELOMIX_HUNDREDTHS_MIN || rateHundredths > VELOMIX_HUNDREDTHS_MAX ||
        pitch < VELOMIX_PITCH_MIN || pitch > VELOMIX_PITCH_MAX)
        return 0;
    /* T >= min <=> tempo >= min x 2^(pitch/12); R >= min <=> rate >= min x 2^(-pitch/12). */
    return velomix_stage_compare(tempoHundredths, VELOMIX_STAGE_HUNDREDTHS_MIN, pitch) >= 0 &&
           velomix_stage_compare(tempoHundredths, VELOMIX_STAGE_HUNDREDTHS_MAX, pitch) <= 0 &&
           velomix_stage_compare(rateHundredths, VELOMIX_STAGE_HUNDREDTHS_MIN, -pitch) >= 0 &&
           velomix_stage_compare(rateHundredths, VELOMIX_STAGE_HUNDREDTHS_MAX, -pitch) <= 0;
}

/* 1 when the filter takes tempo and rate factors with a pitch shift, the values it would hold
   after a setter: each factor in range and the three inside the envelope, as hundredths;
   else 0. */
static inline int velomix_factors_in_speed_envelope(double tempo, double rate, int32_t pitch) {
    return velomix_in_speed_envelope(velomix_factor_hundredths(tempo),
                                     velomix_factor_hundredths(rate), pitch);
}

#endif /* VELOMIX_SPEED_H */
