// velomixctl: reads and changes the tempo, rate and pitch of running Velomix filters from
// another process, through the filters' cross-process control channel.
#include "ToolEntry.h"
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Interrupt.h"
#include "NumberText.h"
#include "VelomixClient.h"
#include "velomix_speed.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2; // also a request the filter refuses (outside the envelope)
constexpr int kExitSuperseded = 3;

// What the filter accepts; anything else it would refuse.
constexpr double kMinFactor = VELOMIX_FACTOR_MIN;
constexpr double kMaxFactor = VELOMIX_FACTOR_MAX;
constexpr int kMinPitch = VELOMIX_PITCH_MIN;
constexpr int kMaxPitch = VELOMIX_PITCH_MAX;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr uint32_t kMaxTimeoutMs = 3600000;

const char kUsage[] =
    "Usage: velomixctl COMMAND [OPTIONS]\n"
    "Reads and changes the speed of running Velomix filters of this user.\n"
    "\n"
    "Commands:\n"
    "  get [--json] [--timeout MS]\n"
    "      Print the tempo, rate and pitch last published by a filter.\n"
    "  set [--tempo F] [--rate F] [--pitch N | --pitch-step N] [--timeout MS] [--json]\n"
    "      Ask the serving filter for new values (fields not given stay as they are),\n"
    "      wait until they are in force and print them.\n"
    "  reset [--timeout MS] [--json]\n"
    "      Same as: set --tempo 1 --rate 1 --pitch 0\n"
    "  watch [--json]\n"
    "      Print 'watching' once listening, then one line per change of the values\n"
    "      ('change'), filter starting to serve ('arrival') and filter going away\n"
    "      ('departure'), until interrupted (SIGINT/SIGTERM, Ctrl+C): exit status 0.\n"
    "      Changes are also seen when another program took their notification: the\n"
    "      values are read at least every 100 ms.\n"
    "  --help, --version\n"
    "\n"
    "Options:\n"
    "  --tempo F     tempo factor, pitch kept (1 normal), 0.05 to 50\n"
    "  --rate F      rate factor, pitch follows (1 normal), 0.05 to 50\n"
    "                F with a sign (+0.1, -0.1) is a step from the filter's current\n"
    "                value; a result outside 0.05 to 50 is clamped, with a message\n"
    "  --pitch N     pitch shift in whole semitones, -60 to 60 (a sign is the shift's own)\n"
    "  --pitch-step N  whole semitones added to the current shift (+1, -1); a result\n"
    "                outside -60 to 60 is clamped, with a message\n"
    "  --timeout MS  longest wait for the channel and for the change, in milliseconds,\n"
    "                1 to 3600000 (default 2000)\n"
    "  --json        one JSON object per line instead of text\n"
    "\n"
    "Exit status: 0 success (for set and reset: the values asked for are in force);\n"
    "1 failure (no filter running or serving, the filter did not take the request in\n"
    "time, channel error); 2 usage error, or values the filter refused whole (outside\n"
    "the speed envelope); 3 superseded: another controller's request, or a change made\n"
    "in the player, replaced this one before it was confirmed (the last writer wins).\n";

using SpeedValues = VelomixValues;

struct Options {
    std::string command;
    bool bJson = false;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    bool bTempo = false;
    bool bRate = false;
    bool bPitch = false;
    SpeedValues values;
    // Steps from the current values (fields with b*Step set instead of b*).
    bool bTempoStep = false;
    bool bRateStep = false;
    bool bPitchStep = false;
    double dTempoStep = 0.0;
    double dRateStep = 0.0;
    int32_t nPitchStep = 0;
};

int Fail(const char* pszMessage) {
    std::fprintf(stderr, "velomixctl: %s\n", pszMessage);
    return kExitFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "velomixctl: %s\nTry 'velomixctl --help'.\n", message.c_str());
    return kExitUsage;
}

int ParseArguments(int argc, char** argv, Options& options) {
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
        options.values = SpeedValues();
        options.bTempo = options.bRate = options.bPitch = true;
    }
    return kExitOk;
}

// Shortest text that reads back as the same double; JSON has no NaN or infinity.
std::string FormatDouble(double d, bool bJson) {
    if (!std::isfinite(d)) {
        return bJson ? "null" : (std::isnan(d) ? "nan" : (d > 0 ? "inf" : "-inf"));
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    return std::string(buffer, result.ptr);
}

void PrintValues(const SpeedValues& values, bool bJson, const char* pszEvent = nullptr) {
    const std::string tempo = FormatDouble(values.dTempo, bJson);
    const std::string rate = FormatDouble(values.dRate, bJson);
    if (bJson) {
        std::printf("{%s%s%s\"tempo\":%s,\"rate\":%s,\"pitch\":%d}\n",
                    pszEvent != nullptr ? "\"event\":\"" : "", pszEvent != nullptr ? pszEvent : "",
                    pszEvent != nullptr ? "\"," : "", tempo.c_str(), rate.c_str(),
                    static_cast<int>(values.nPitch));
    } else {
        std::printf("%s%stempo %s rate %s pitch %d\n", pszEvent != nullptr ? pszEvent : "",
                    pszEvent != nullptr ? ": " : "", tempo.c_str(), rate.c_str(),
                    static_cast<int>(values.nPitch));
    }
    std::fflush(stdout);
}

// The message for a status other than Ok; exit status 1.
int ReportStatus(const CVelomixClient& client, VelomixStatus status) {
    switch (status) {
    case VelomixStatus::NoChannel:
        return Fail(client.Problem().c_str());
    case VelomixStatus::NoFilter:
        return Fail(
            "no filter is running (no shared block \"VELFilter_MEM\" with a filter's values)");
    case VelomixStatus::Damaged:
        return Fail("the shared block \"VELFilter_MEM\" is damaged (its size field is wrong); a "
                    "running filter restores it at its next change or request");
    case VelomixStatus::NotServing:
        return Fail("no filter serves requests (no event \"VELFilter_SVR\")");
    case VelomixStatus::Busy:
        return Fail("timed out waiting for the channel's mutex \"VELFilter_MUTEX\"");
    default:
        return Fail("the control channel failed");
    }
}

int RunGet(const Options& options) {
    CVelomixClient client;
    VelomixValues values;
    const VelomixStatus status = client.Read(values, options.timeoutMs);
    if (status != VelomixStatus::Ok) {
        return ReportStatus(client, status);
    }
    PrintValues(values, options.bJson);
    return kExitOk;
}

// A factor stepped from CURRENT, clamped to what the filter accepts (told on stderr). Rounded
// to 1e-9 so that repeated steps of 0.1 read 1.2, not 1.2000000000000002.
double StepFactor(const char* pszName, double dCurrent, double dStep) {
    double dValue = std::round((dCurrent + dStep) * 1e9) / 1e9;
    if (dValue < kMinFactor || dValue > kMaxFactor) {
        const double dClamped = dValue < kMinFactor ? kMinFactor : kMaxFactor;
        std::fprintf(stderr, "velomixctl: %s %s is outside 0.05 to 50; clamped to %s\n", pszName,
                     FormatDouble(dValue, false).c_str(), FormatDouble(dClamped, false).c_str());
        dValue = dClamped;
    }
    return dValue;
}

int32_t StepPitch(int32_t nCurrent, int32_t nStep) {
    const int64_t nValue = static_cast<int64_t>(nCurrent) + nStep;
    if (nValue < kMinPitch || nValue > kMaxPitch) {
        const int32_t nClamped = nValue < kMinPitch ? kMinPitch : kMaxPitch;
        std::fprintf(stderr, "velomixctl: pitch %lld is outside -60 to 60; clamped to %d\n",
                     static_cast<long long>(nValue), static_cast<int>(nClamped));
        return nClamped;
    }
    return static_cast<int32_t>(nValue);
}

int RunSet(const Options& options) {
    CVelomixClient client;
    VelomixValues request = options.values;
    if (!options.bTempo || !options.bRate || !options.bPitch) {
        // Fields not given stay as the block shows them; the request carries all three.
        VelomixValues current;
        const VelomixStatus status = client.Read(current, options.timeoutMs);
        const bool bStep = options.bTempoStep || options.bRateStep || options.bPitchStep;
        // A step needs true current values: a damaged block has none.
        if (status != VelomixStatus::Ok && (bStep || status != VelomixStatus::Damaged)) {
            return ReportStatus(client, status);
        }
        if (bStep && (!std::isfinite(current.dTempo) || !std::isfinite(current.dRate))) {
            return Fail("the filter's current values are not numbers; cannot step from them");
        }
        request.dTempo = options.bTempo ? options.values.dTempo : current.dTempo;
        request.dRate = options.bRate ? options.values.dRate : current.dRate;
        request.nPitch = options.bPitch ? options.values.nPitch : current.nPitch;
        if (options.bTempoStep) {
            request.dTempo = StepFactor("tempo", current.dTempo, options.dTempoStep);
        }
        if (options.bRateStep) {
            request.dRate = StepFactor("rate", current.dRate, options.dRateStep);
        }
        if (options.bPitchStep) {
            request.nPitch = StepPitch(current.nPitch, options.nPitchStep);
        }
    }
    VelomixValues now;
    const VelomixStatus status = client.Request(request, options.timeoutMs, &now);
    if (status == VelomixStatus::Ok) {
        PrintValues(now, options.bJson);
        return kExitOk;
    }
    const std::string inForce = "tempo " + FormatDouble(now.dTempo, false) + " rate " +
                                FormatDouble(now.dRate, false) + " pitch " +
                                std::to_string(now.nPitch);
    if (status == VelomixStatus::Refused) {
        std::fprintf(stderr,
                     "velomixctl: tempo %s rate %s pitch %d together lie outside the speed "
                     "envelope; the filter refused them and changed nothing; in force: %s\n",
                     FormatDouble(request.dTempo, false).c_str(),
                     FormatDouble(request.dRate, false).c_str(), static_cast<int>(request.nPitch),
                     inForce.c_str());
        return kExitUsage;
    }
    if (status == VelomixStatus::Superseded) {
        std::fprintf(stderr,
                     "velomixctl: superseded: another controller's request replaced this one "
                     "before the filter took it\n");
        return kExitSuperseded;
    }
    if (status == VelomixStatus::Overridden) {
        std::fprintf(stderr,
                     "velomixctl: superseded: the filter took this request, but another request "
                     "or change replaced it before it was confirmed; in force: %s\n",
                     inForce.c_str());
        return kExitSuperseded;
    }
    if (status != VelomixStatus::Timeout) {
        return ReportStatus(client, status);
    }
    std::fprintf(stderr,
                 "velomixctl: the filter did not take the request within %u ms; it was withdrawn; "
                 "in force: %s\n",
                 static_cast<unsigned>(options.timeoutMs), inForce.c_str());
    return kExitFailure;
}

void PrintEvent(const char* pszEvent, bool bJson) {
    if (bJson) {
        std::printf("{\"event\":\"%s\"}\n", pszEvent);
    } else {
        std::printf("%s\n", pszEvent);
    }
    std::fflush(stdout);
}

int RunWatch(const Options& options) {
    CInterruptEvent interrupt;
    if (!interrupt.IsOpen()) {
        return Fail("cannot catch interrupts");
    }
    CVelomixClient client;
    if (!client.Listen()) {
        return Fail(client.Problem().empty() ? "cannot create the notification events"
                                             : client.Problem().c_str());
    }
    // Changes are told against what the block holds now.
    VelomixValues last;
    client.Read(last, kDefaultTimeoutMs);
    // Tells whoever starts or runs this program that it listens now.
    PrintEvent("watching", options.bJson);
    for (;;) {
        bool bRead = false;
        switch (client.WaitForChange(kInfinite, &last, &bRead, &interrupt.Event())) {
        case VelomixNotice::Extra:
            return kExitOk;
        case VelomixNotice::Change:
            if (bRead) {
                PrintValues(last, options.bJson, "change");
            } else {
                PrintEvent("change", options.bJson);
            }
            break;
        case VelomixNotice::Arrival:
            PrintEvent("arrival", options.bJson);
            break;
        case VelomixNotice::Departure:
            PrintEvent("departure", options.bJson);
            break;
        case VelomixNotice::Timeout:
            break;
        default:
            return Fail("waiting for the notification events failed");
        }
    }
}

} // namespace

int ToolMain(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("velomixctl %s\n", VELOMIX_VERSION);
        return kExitOk;
    }
    try {
        Options options;
        const int parsed = ParseArguments(argc, argv, options);
        if (parsed != kExitOk) {
            return parsed;
        }
        if (options.command == "get") {
            return RunGet(options);
        }
        if (options.command == "watch") {
            return RunWatch(options);
        }
        return RunSet(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velomixctl: %s\n", e.what());
        return kExitFailure;
    }
}
