// velomix: runs the Velomix module as a host does, over audio files.
#include "ToolEntry.h"
#include "NumberText.h"
#include "ProcessJob.h"
#include "RegisterCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The usage text around the platform's paragraph on file formats (kProcessFileFormats).
const char kUsageHead[] =
    "Usage: velomix process IN OUT [--tempo F] [--rate F] [--pitch N] [--module PATH]\n"
    "                      [--no-progress] [--steerable]\n"
    "       velomix register | unregister [--module PATH]\n"
    "       velomix --help | --version\n"
    "\n"
    "Runs IN through the Velomix filter in a graph (file source -> Velomix -> file sink)\n";
const char kUsageTail[] =
    "\n"
    "  --tempo F     speed with the pitch kept, factor 0.05 to 50 (1 = unchanged)\n"
    "  --rate F      speed and pitch together, as a tape played faster, 0.05 to 50\n"
    "  --pitch N     pitch shift in whole semitones, -60 to 60\n"
    "  --module PATH the module file (default: VELOMIX_MODULE, else next to velomix\n"
    "                or in the build tree's filter folder)\n"
    "  --no-progress no progress bar (it is drawn only when stderr is a terminal)\n"
    "  --steerable   let the user's controllers (velomixctl, a player's) change the speed\n"
    "                during the run; without it the filter keeps off the control channel\n"
    "                (VELOMIX_CHANNEL=off) and runs at the speed given here\n"
    "\n"
    "register and unregister call the module's DllRegisterServer / DllUnregisterServer:\n"
    "its COM classes, its filter-mapper entry \"Velomix\" and its installation record\n"
    "(kept by unregister).\n"
    "\n"
    "Exit codes: 0 done, 1 a file, module or processing error, 2 a usage error or a\n"
    "value the filter refused.\n";

void PrintUsage(FILE* stream) {
    std::fputs(kUsageHead, stream);
    std::fputs(kProcessFileFormats, stream);
    std::fputs(kUsageTail, stream);
}

int Usage(const char* message) {
    std::fprintf(stderr, "velomix: %s\n", message);
    PrintUsage(stderr);
    return kExitUsage;
}

int Process(const std::vector<std::string>& args) {
    ProcessOptions o;
    o.progress = StderrIsTerminal();
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "velomix: %s needs a value\n", name);
                return nullptr;
            }
            return args[++i].c_str();
        };
        if (a == "--tempo" || a == "--rate") {
            const char* v = value(a.c_str());
            if (!v)
                return kExitUsage;
            if (!ParseDecimal(v, a == "--tempo" ? &o.tempo : &o.rate))
                return Usage((a + ": not a number: " + v).c_str());
        } else if (a == "--pitch") {
            const char* v = value("--pitch");
            if (!v)
                return kExitUsage;
            if (!ParseWholeNumber(v, &o.pitch))
                return Usage((std::string("--pitch: not a whole number: ") + v).c_str());
        } else if (a == "--module") {
            const char* v = value("--module");
            if (!v)
                return kExitUsage;
            o.modulePath = v;
        } else if (a == "--no-progress") {
            o.progress = false;
        } else if (a == "--steerable") {
            o.steerable = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return Usage(("unknown option " + a).c_str());
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2)
        return Usage("process needs an input and an output file");
    o.inputPath = files[0];
    o.outputPath = files[1];
    return RunProcessJob(o);
}

} // namespace

int ToolMain(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage("no command");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("velomix %s\n", VELOMIX_VERSION);
        return kExitOk;
    }
    if (command == "register" || command == "unregister") {
        std::string modulePath;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--module" && i + 1 < args.size())
                modulePath = args[++i];
            else
                return Usage(("unknown argument " + args[i]).c_str());
        }
        return RunRegisterCommand(command == "register", modulePath);
    }
    if (command == "process")
        return Process(std::vector<std::string>(args.begin() + 1, args.end()));
    return Usage(("unknown command " + command).c_str());
}
