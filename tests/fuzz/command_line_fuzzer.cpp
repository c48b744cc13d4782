// The hosts' command lines through their own readers: the input's first byte chooses velomixctl
// or velomix, the rest, split at NUL bytes, is the argument list. What a reader takes must
// keep the promises of the usage text (values within their ranges, finite numbers, the
// options each command allows); what it refuses must say why. Nothing is run.
#include "FuzzSupport.h"

#include "Arguments.h"
#include "CommandLine.h"

#include <cmath>
#include <string>
#include <vector>

namespace {

using fuzz::Broken;

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    return args;
}

bool IsFactor(double d) {
    return d >= kMinFactor && d <= kMaxFactor;
}

void CheckVelomixctl(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"velomixctl"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    Options o;
    std::string error;
    if (!ParseArguments(argc, argv.data(), o, &error)) {
        if (error.empty())
            Broken("velomixctl refused a command line without saying why");
        return;
    }
    const std::string& c = o.command;
    if (c != "get" && c != "set" && c != "reset" && c != "watch")
        Broken("velomixctl took an unknown command:", c);
    if (o.timeoutMs < 1 || o.timeoutMs > kMaxTimeoutMs)
        Broken("velomixctl took a timeout outside 1 to 3600000 ms");
    if ((o.bTempo && !IsFactor(o.values.dTempo)) || (o.bRate && !IsFactor(o.values.dRate)) ||
        (o.bPitch && (o.values.nPitch < kMinPitch || o.values.nPitch > kMaxPitch)))
        Broken("velomixctl took a value the filter refuses");
    if ((o.bTempo && o.bTempoStep) || (o.bRate && o.bRateStep) || (o.bPitch && o.bPitchStep))
        Broken("velomixctl took a value and a step for the same field");
    if ((o.bTempoStep && !std::isfinite(o.dTempoStep)) ||
        (o.bRateStep && !std::isfinite(o.dRateStep)))
        Broken("velomixctl took a step that is not a number");
    const bool bAny =
        o.bTempo || o.bRate || o.bPitch || o.bTempoStep || o.bRateStep || o.bPitchStep;
    if (c == "set" && !bAny)
        Broken("velomixctl took set without a value");
    if ((c == "get" || c == "watch") && bAny)
        Broken("velomixctl took a speed option for", c);
    if (c == "reset" && !(o.bTempo && o.bRate && o.bPitch && o.values == VelomixValues()))
        Broken("velomixctl's reset does not ask for 1.0, 1.0, 0");
    if (c == "watch" && o.timeoutMs != kDefaultTimeoutMs)
        Broken("velomixctl took a timeout for watch");
}

void CheckVelomix(const std::vector<std::string>& args) {
    CommandLine line;
    CommandLineError error;
    if (ParseCommandLine(args, &line, &error) != kExitOk) {
        if (error.message.empty())
            Broken("velomix refused a command line without saying why");
        return;
    }
    const ProcessOptions& o = line.options;
    if (args.empty())
        Broken("velomix took an empty command line");
    if (line.command != CommandLine::Command::Process) {
        if (o.tempo != 1.0 || o.rate != 1.0 || o.pitch != 0 || !o.inputPath.empty())
            Broken("velomix took process options for another command");
        return;
    }
    if (!std::isfinite(o.tempo) || !std::isfinite(o.rate))
        Broken("velomix took a speed that is not a number");
    // IN and OUT are the two arguments that are neither options nor their values.
    size_t files = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--tempo" || a == "--rate" || a == "--pitch" || a == "--module")
            ++i;
        else if (a.size() <= 1 || a[0] != '-')
            ++files;
    }
    if (files != 2)
        Broken("velomix took other than two files");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::vector<std::string> args = SplitArguments(data + 1, size - 1);
    if (args.size() == 1 && args[0].empty())
        args.clear();
    if (data[0] & 1)
        CheckVelomix(args);
    else
        CheckVelomixctl(args);
    return 0;
}
