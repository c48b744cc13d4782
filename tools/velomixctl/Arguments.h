// velomixctl's command line as the program reads it, apart from running anything, so that the
// same reading can be tested and fuzzed.
#pragma once

#include "SharedBlock.h"
#include "velomix_speed.h"

#include <cstdint>
#include <string>

// What the filter accepts; anything else it would refuse.
constexpr double kMinFactor = VELOMIX_FACTOR_MIN;
constexpr double kMaxFactor = VELOMIX_FACTOR_MAX;
constexpr int kMinPitch = VELOMIX_PITCH_MIN;
constexpr int kMaxPitch = VELOMIX_PITCH_MAX;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr uint32_t kMaxTimeoutMs = 3600000;

struct Options {
    std::string command;
    bool bJson = false;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    bool bTempo = false;
    bool bRate = false;
    bool bPitch = false;
    VelomixValues values;
    // Steps from the current values (fields with b*Step set instead of b*).
    bool bTempoStep = false;
    bool bRateStep = false;
    bool bPitchStep = false;
    double dTempoStep = 0.0;
    double dRateStep = 0.0;
    int32_t nPitchStep = 0;
};

// Reads argv[1] to argv[argc - 1] (argv[0] is the program). True with options set; false with
// *pError saying what is wrong (the usage error's message).
bool ParseArguments(int argc, const char* const* argv, Options& options, std::string* pError);
