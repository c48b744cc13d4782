// velomix: runs the Velomix module as a host does, over audio files.
#include "CommandLine.h"
#include "ToolEntry.h"
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

} // namespace

int ToolMain(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    CommandLineError error;
    if (ParseCommandLine(args, &line, &error) != kExitOk) {
        if (!error.showUsage) {
            std::fprintf(stderr, "velomix: %s\n", error.message.c_str());
            return kExitUsage;
        }
        return Usage(error.message.c_str());
    }
    switch (line.command) {
    case CommandLine::Command::Help:
        PrintUsage(stdout);
        return kExitOk;
    case CommandLine::Command::Version:
        std::printf("velomix %s\n", VELOMIX_VERSION);
        return kExitOk;
    case CommandLine::Command::Register:
    case CommandLine::Command::Unregister:
        return RunRegisterCommand(line.command == CommandLine::Command::Register,
                                  line.options.modulePath);
    default:
        line.options.progress = !line.noProgress && StderrIsTerminal();
        return RunProcessJob(line.options);
    }
}
