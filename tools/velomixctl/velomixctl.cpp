// velomixctl: reads and changes the tempo, rate and pitch of running Velomix filters from
// another process, through the filters' cross-process control channel.
#include "ToolEntry.h"
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Arguments.h"
#include "Interrupt.h"
#include "VelomixClient.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2; // also a request the filter refuses (outside the envelope)
constexpr int kExitSuperseded = 3;

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

int Fail(const char* pszMessage) {
    std::fprintf(stderr, "velomixctl: %s\n", pszMessage);
    return kExitFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "velomixctl: %s\nTry 'velomixctl --help'.\n", message.c_str());
    return kExitUsage;
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
        std::string error;
        if (!ParseArguments(argc, argv, options, &error)) {
            return UsageError(error);
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
