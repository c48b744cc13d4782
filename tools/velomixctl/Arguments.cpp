#include "Arguments.h"

#include "NumberText.h"

bool ParseArguments(int argc, const char* const* argv, Options& options, std::string* pError) {
    const auto UsageError = [pError](const std::string& message) {
        *pError = message;
        return false;
    };
    if (argc < 2) {
        return UsageError("no command given");
    }
    options.command = argv[1];
    const std::string& cmd = options.command;
    if (cmd != "get" && cmd != "set" && cmd != "reset" && cmd != "watch") {
        return UsageError("unknown command '" + cmd + "'");
    }
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool bTakesValue = arg == "--tempo" || arg == "--rate" || arg == "--pitch" ||
                                 arg == "--pitch-step" || arg == "--timeout";
        if (arg == "--json") {
            options.bJson = true;
            continue;
        }
        if (!bTakesValue) {
            return UsageError("unknown option '" + arg + "' for " + cmd);
        }
        if (i + 1 >= argc) {
            return UsageError(arg + " needs a value");
        }
        const char* pszValue = argv[++i];
        const bool bSpeed = arg != "--timeout";
        if (bSpeed && cmd != "set") {
            return UsageError(arg + " is an option of set only");
        }
        if (arg == "--timeout" && cmd == "watch") {
            return UsageError("watch takes no --timeout");
        }
        const bool bTempoArg = arg == "--tempo";
        if ((bTempoArg || arg == "--rate") && (pszValue[0] == '+' || pszValue[0] == '-')) {
            // Factors are positive: a sign makes the value a step.
            double dStep = 0.0;
            if (!ParseDecimal(pszValue, &dStep)) {
                return UsageError(arg + " '" + pszValue +
                                  "': expected a decimal number (a step with its sign)");
            }
            (bTempoArg ? options.dTempoStep : options.dRateStep) = dStep;
            (bTempoArg ? options.bTempoStep : options.bRateStep) = true;
            (bTempoArg ? options.bTempo : options.bRate) = false;
        } else if (arg == "--pitch-step") {
            int32_t nStep = 0;
            if (!ParseWholeNumber(pszValue, &nStep)) {
                return UsageError(std::string("--pitch-step '") + pszValue +
                                  "': expected a whole number of semitones");
            }
            options.nPitchStep = nStep;
            options.bPitchStep = true;
            options.bPitch = false;
        } else if (arg == "--tempo" || arg == "--rate") {
            double dValue = 0.0;
            if (!ParseDecimal(pszValue, &dValue) || dValue < kMinFactor || dValue > kMaxFactor) {
                return UsageError(arg + " '" + pszValue +
                                  "': expected a decimal number from 0.05 to 50");
            }
            (arg == "--tempo" ? options.values.dTempo : options.values.dRate) = dValue;
            (arg == "--tempo" ? options.bTempo : options.bRate) = true;
            (arg == "--tempo" ? options.bTempoStep : options.bRateStep) = false;
        } else if (arg == "--pitch") {
            int32_t nValue = 0;
            if (!ParseWholeNumber(pszValue, &nValue) || nValue < kMinPitch || nValue > kMaxPitch) {
                return UsageError(std::string("--pitch '") + pszValue +
                                  "': expected a whole number from -60 to 60");
            }
            options.values.nPitch = nValue;
            options.bPitch = true;
            options.bPitchStep = false;
        } else {
            uint32_t timeoutMs = 0;
            if (!ParseWholeNumber(pszValue, &timeoutMs) || timeoutMs == 0 ||
                timeoutMs > kMaxTimeoutMs) {
                return UsageError(std::string("--timeout '") + pszValue +
                                  "': expected milliseconds from 1 to 3600000");
            }
            options.timeoutMs = timeoutMs;
        }
    }
    if (cmd == "set" && !options.bTempo && !options.bRate && !options.bPitch &&
        !options.bTempoStep && !options.bRateStep && !options.bPitchStep) {
        return UsageError("set needs at least one of --tempo, --rate, --pitch, --pitch-step");
    }
    if (cmd == "reset") {
        options.values = VelomixValues();
        options.bTempo = options.bRate = options.bPitch = true;
    }
    return true;
}
