// velomixctl: reads and changes the tempo, rate and pitch of running Velomix filters from
// another process, through the filters' cross-process control channel.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "Interrupt.h"
#include "NamedObjects.h"
#include "NumberText.h"
#include "SharedBlock.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// What the filter accepts; anything else it would refuse.
constexpr double kMinFactor = 0.05;
constexpr double kMaxFactor = 50.0;
constexpr int kMinPitch = -60;
constexpr int kMaxPitch = 60;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr uint32_t kMaxTimeoutMs = 3600000;

const char kUsage[] =
    "Usage: velomixctl COMMAND [OPTIONS]\n"
    "Reads and changes the speed of running Velomix filters of this user.\n"
    "\n"
    "Commands:\n"
    "  get [--json] [--timeout MS]\n"
    "      Print the tempo, rate and pitch last published by a filter.\n"
    "  set [--tempo F] [--rate F] [--pitch N] [--timeout MS] [--json]\n"
    "      Ask the serving filter for new values (fields not given stay as they are),\n"
    "      wait until they are in force and print them.\n"
    "  reset [--timeout MS] [--json]\n"
    "      Same as: set --tempo 1 --rate 1 --pitch 0\n"
    "  watch [--json]\n"
    "      Print 'watching' once listening, then one line per change of the values\n"
    "      ('change'), filter starting to serve ('arrival') and filter going away\n"
    "      ('departure'), until interrupted (SIGINT/SIGTERM, Ctrl+C): exit status 0.\n"
    "      Programs waiting at once share these notifications: each goes to one of them.\n"
    "  --help, --version\n"
    "\n"
    "Options:\n"
    "  --tempo F     tempo factor, pitch kept (1 normal), 0.05 to 50\n"
    "  --rate F      rate factor, pitch follows (1 normal), 0.05 to 50\n"
    "  --pitch N     pitch shift in whole semitones, -60 to 60\n"
    "  --timeout MS  longest wait for the channel and for the change, in milliseconds,\n"
    "                1 to 3600000 (default 2000)\n"
    "  --json        one JSON object per line instead of text\n"
    "\n"
    "Exit status: 0 success; 1 failure (no filter running or serving, time-out, channel\n"
    "error); 2 usage error.\n";

struct SpeedValues {
    double dTempo = 1.0;
    double dRate = 1.0;
    int32_t nPitch = 0;

    bool operator==(const SpeedValues& other) const {
        return dTempo == other.dTempo && dRate == other.dRate && nPitch == other.nPitch;
    }
};

struct Options {
    std::string command;
    bool bJson = false;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    bool bTempo = false;
    bool bRate = false;
    bool bPitch = false;
    SpeedValues values;
};

int Fail(const char* pszMessage) {
    std::fprintf(stderr, "velomixctl: %s\n", pszMessage);
    return kExitFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "velomixctl: %s\nTry 'velomixctl --help'.\n", message.c_str());
    return kExitUsage;
}

// Numbers are read as velomix reads them (NumberText.h): plain decimals and whole numbers.
bool ParseFactor(const char* psz, double& value) { return ParseDecimal(psz, &value); }

template <typename T> bool ParseInteger(const char* psz, T& value) {
    return ParseWholeNumber(psz, &value);
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
        const bool bTakesValue =
            arg == "--tempo" || arg == "--rate" || arg == "--pitch" || arg == "--timeout";
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
        if (arg == "--tempo" || arg == "--rate") {
            double dValue = 0.0;
            if (!ParseFactor(pszValue, dValue) || dValue < kMinFactor || dValue > kMaxFactor) {
                return UsageError(arg + " '" + pszValue +
                                  "': expected a decimal number from 0.05 to 50");
            }
            (arg == "--tempo" ? options.values.dTempo : options.values.dRate) = dValue;
            (arg == "--tempo" ? options.bTempo : options.bRate) = true;
        } else if (arg == "--pitch") {
            int32_t nValue = 0;
            if (!ParseInteger(pszValue, nValue) || nValue < kMinPitch || nValue > kMaxPitch) {
                return UsageError(std::string("--pitch '") + pszValue +
                                  "': expected a whole number from -60 to 60");
            }
            options.values.nPitch = nValue;
            options.bPitch = true;
        } else {
            uint32_t timeoutMs = 0;
            if (!ParseInteger(pszValue, timeoutMs) || timeoutMs == 0 || timeoutMs > kMaxTimeoutMs) {
                return UsageError(std::string("--timeout '") + pszValue +
                                  "': expected milliseconds from 1 to 3600000");
            }
            options.timeoutMs = timeoutMs;
        }
    }
    if (cmd == "set" && !options.bTempo && !options.bRate && !options.bPitch) {
        return UsageError("set needs at least one of --tempo, --rate, --pitch");
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

enum class BlockResult { Ok, NoFilter, Busy };

// Reads the three values; the caller holds the mutex.
BlockResult ReadLocked(const CQShareMemory& block, SpeedValues& values) {
    // The header is 20 from the first filter's mapping on; 0 means no filter wrote yet.
    if (block.StoredDataSize() != kVelomixBlockDataSize ||
        block.Read(&values.dTempo, kVelomixTempoOffset, sizeof values.dTempo) == 0 ||
        block.Read(&values.dRate, kVelomixRateOffset, sizeof values.dRate) == 0 ||
        block.Read(&values.nPitch, kVelomixPitchOffset, sizeof values.nPitch) == 0) {
        return BlockResult::NoFilter;
    }
    return BlockResult::Ok;
}

BlockResult ReadValues(const CQShareMemory& block, uint32_t timeoutMs, SpeedValues& values) {
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(timeoutMs);
    if (!guard) {
        return BlockResult::Busy;
    }
    return ReadLocked(block, values);
}

int ReportBlockResult(BlockResult result) {
    return Fail(result == BlockResult::Busy
                    ? "timed out waiting for the channel's mutex \"VELFilter_MUTEX\""
                    : "the shared block \"VELFilter_MEM\" holds no filter's values");
}

int RunGet(const Options& options) {
    CQShareMemory block;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize)) {
        return Fail("no filter is running (no shared block \"VELFilter_MEM\")");
    }
    SpeedValues values;
    const BlockResult result = ReadValues(block, options.timeoutMs, values);
    if (result != BlockResult::Ok) {
        return ReportBlockResult(result);
    }
    PrintValues(values, options.bJson);
    return kExitOk;
}

int RunSet(const Options& options) {
    CQShareMemory block;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize)) {
        return Fail("no filter is running (no shared block \"VELFilter_MEM\")");
    }
    // Checked before anything is written: a request nobody serves would stay in the block
    // as if it were in force.
    CQNamedEvent evRequest;
    if (!evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return Fail("no filter serves requests (no event \"VELFilter_SVR\")");
    }
    // Exists before the request is written, so no notification of it can be missed.
    CQNamedEvent evChange;
    if (!evChange.Create(kVelomixChangeEventName, false, false)) {
        return Fail("cannot create the notification event \"VELFilter_CLI\"");
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    SpeedValues request;
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(options.timeoutMs);
        if (!guard) {
            return ReportBlockResult(BlockResult::Busy);
        }
        SpeedValues current;
        if (ReadLocked(block, current) != BlockResult::Ok) {
            return ReportBlockResult(BlockResult::NoFilter);
        }
        request.dTempo = options.bTempo ? options.values.dTempo : current.dTempo;
        request.dRate = options.bRate ? options.values.dRate : current.dRate;
        request.nPitch = options.bPitch ? options.values.nPitch : current.nPitch;
        if (request == current) {
            // The filter would change nothing and announce nothing.
            guard.Release();
            PrintValues(current, options.bJson);
            return kExitOk;
        }
        // Publications set the event under this mutex: any signal from now on follows the
        // request, and a pending one must not be taken for its answer.
        evChange.Wait(0);
        block.Write(&request.dTempo, kVelomixTempoOffset, sizeof request.dTempo);
        block.Write(&request.dRate, kVelomixRateOffset, sizeof request.dRate);
        block.Write(&request.nPitch, kVelomixPitchOffset, sizeof request.nPitch);
    }
    if (!evRequest.Set()) {
        return Fail("cannot signal the request event \"VELFilter_SVR\"");
    }

    // A request changing several values is published once per value; it is in force when a
    // publication shows all of it. Until one comes, the block only holds the request itself.
    SpeedValues now;
    bool bPublished = false;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !evChange.Wait(static_cast<uint32_t>(left))) {
            break;
        }
        const BlockResult result = ReadValues(block, options.timeoutMs, now);
        if (result != BlockResult::Ok) {
            return ReportBlockResult(result);
        }
        bPublished = true;
        if (now == request) {
            PrintValues(now, options.bJson);
            return kExitOk;
        }
    }
    if (!bPublished) {
        std::fprintf(stderr, "velomixctl: the filter did not take the request within %u ms\n",
                     static_cast<unsigned>(options.timeoutMs));
    } else {
        std::fprintf(stderr,
                     "velomixctl: the filter did not take the request within %u ms; in force: "
                     "tempo %s rate %s pitch %d\n",
                     static_cast<unsigned>(options.timeoutMs),
                     FormatDouble(now.dTempo, false).c_str(),
                     FormatDouble(now.dRate, false).c_str(), static_cast<int>(now.nPitch));
    }
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
    CQNamedEvent evChange;
    CQNamedEvent evArrival;
    CQNamedEvent evDeparture;
    if (!evChange.Create(kVelomixChangeEventName, false, false) ||
        !evArrival.Create(kVelomixArrivalEventName, false, false) ||
        !evDeparture.Create(kVelomixDepartureEventName, false, false)) {
        return Fail("cannot create the notification events");
    }
    // Tells whoever starts or runs this program that it listens now.
    PrintEvent("watching", options.bJson);
    for (;;) {
        const int result = CQNamedEvent::WaitAny(
            {&interrupt.Event(), &evChange, &evArrival, &evDeparture}, kInfinite);
        if (result == 0) {
            return kExitOk;
        }
        if (result == 1) {
            // Opened per change, so that watching keeps no block alive after the filters.
            CQShareMemory block;
            SpeedValues values;
            if (block.Open(kVelomixBlockName, kVelomixBlockDataSize) &&
                ReadValues(block, kDefaultTimeoutMs, values) == BlockResult::Ok) {
                PrintValues(values, options.bJson, "change");
            } else {
                PrintEvent("change", options.bJson);
            }
        } else if (result == 2) {
            PrintEvent("arrival", options.bJson);
        } else if (result == 3) {
            PrintEvent("departure", options.bJson);
        } else {
            return Fail("waiting for the notification events failed");
        }
    }
}

} // namespace

int main(int argc, char** argv) {
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
