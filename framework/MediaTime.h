// Media time arithmetic shared by sources, the speed filter and hosts. Plain 64-bit integers (the
// REFERENCE_TIME of the platform's headers is the same type), no COM: the streaming core's value
// types use it too.
//
// Stamps come from upstream and may be anything; every function here saturates instead of
// wrapping, so a hostile stamp gives a clamped stamp, never undefined behaviour.
#pragma once

#include <cstdint>
#include <limits>

// 100 ns units per second: the unit of REFERENCE_TIME.
constexpr int64_t kUnitsPerSecond = 10000000;

// The start of frame n at nRate frames per second, in 100 ns units, rounded down; exact and free
// of overflow however long the stream (n >= 0). 0 for a rate of 0.
constexpr int64_t FramesToTime(int64_t n, uint32_t nRate) {
    if (nRate == 0)
        return 0;
    const int64_t rate = nRate;
    return n / rate * kUnitsPerSecond + n % rate * kUnitsPerSecond / rate;
}

// a + b, clamped to the range of int64_t.
constexpr int64_t SaturatingAdd(int64_t a, int64_t b) {
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b)
        return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b)
        return std::numeric_limits<int64_t>::min();
    return a + b;
}

// a - b, clamped to the range of int64_t.
constexpr int64_t SaturatingSub(int64_t a, int64_t b) {
    if (b < 0 && a > std::numeric_limits<int64_t>::max() + b)
        return std::numeric_limits<int64_t>::max();
    if (b > 0 && a < std::numeric_limits<int64_t>::min() + b)
        return std::numeric_limits<int64_t>::min();
    return a - b;
}

// x * y / c rounded to the nearest integer (halves up), for c > 0 and a result that fits in
// 64 bits; exact with a 128-bit product made of 32-bit halves (no 128-bit type on every target).
constexpr uint64_t MulDivRound(uint64_t x, uint64_t y, uint64_t c) {
    const uint64_t xl = x & 0xffffffffu, xh = x >> 32, yl = y & 0xffffffffu, yh = y >> 32;
    const uint64_t ll = xl * yl, lh = xl * yh, hl = xh * yl, hh = xh * yh;
    const uint64_t mid = (ll >> 32) + (lh & 0xffffffffu) + (hl & 0xffffffffu);
    uint64_t lo = (mid << 32) | (ll & 0xffffffffu);
    uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
    const uint64_t half = c / 2;
    lo += half;
    if (lo < half)
        ++hi;
    // Long division of hi:lo by c, one bit at a time; hi < c as the result fits.
    uint64_t r = hi % c, q = 0;
    for (int i = 63; i >= 0; --i) {
        const bool carry = (r >> 63) != 0;
        r = (r << 1) | ((lo >> i) & 1u);
        q <<= 1;
        if (carry || r >= c) {
            r -= c;
            q |= 1u;
        }
    }
    return q;
}

// The point num/den of the way from a to b (0 <= num <= den, den > 0), rounded to the nearest
// unit (halves away from a), exactly. A span that runs backwards (b < a) counts as empty, so
// every result lies in [a, max(a, b)]; hostile stamps can make no intermediate overflow.
constexpr int64_t TimeAt(int64_t a, int64_t b, int64_t num, int64_t den) {
    if (den <= 0 || num <= 0 || b <= a)
        return a;
    if (num >= den)
        return b;
    // b - a without overflow: both are int64_t and b > a, so the difference fits in uint64_t.
    const uint64_t span = static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
    const uint64_t offset =
        MulDivRound(span, static_cast<uint64_t>(num), static_cast<uint64_t>(den));
    return static_cast<int64_t>(static_cast<uint64_t>(a) + offset);
}
