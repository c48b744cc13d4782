// Media time arithmetic shared by sources, the speed filter and hosts.
#pragma once

#include "media.h"

// 100 ns units per second: the unit of REFERENCE_TIME.
constexpr LONGLONG kUnitsPerSecond = 10000000;

// The start of frame n at nRate frames per second, in 100 ns units, rounded down; exact and free
// of overflow however long the stream. 0 for a rate of 0.
constexpr REFERENCE_TIME FramesToTime(LONGLONG n, DWORD nRate) {
    if (nRate == 0)
        return 0;
    const LONGLONG rate = nRate;
    return n / rate * kUnitsPerSecond + n % rate * kUnitsPerSecond / rate;
}
