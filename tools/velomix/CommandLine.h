// velomix's command line as the tool reads it, apart from running anything, so that the same
// reading can be tested and fuzzed.
#pragma once

#include "ProcessJob.h"

#include <string>
#include <vector>

struct CommandLine {
    enum class Command { Help, Version, Register, Unregister, Process };
    Command command = Command::Help;
    ProcessOptions options; // Process: every field but progress; Register: modulePath
    bool noProgress = false;
};

// What is wrong with a command line: the message after "velomix: ", and whether the usage text
// follows it.
struct CommandLineError {
    std::string message;
    bool showUsage = true;
};

// Reads args (the arguments after the program's name). kExitOk with *pLine set, or kExitUsage
// with *pError set.
int ParseCommandLine(const std::vector<std::string>& args, CommandLine* pLine,
                     CommandLineError* pError);
