#include "CommandLine.h"

#include "NumberText.h"

namespace {

int Refuse(CommandLineError* pError, std::string message, bool showUsage = true) {
    pError->message = std::move(message);
    pError->showUsage = showUsage;
    return kExitUsage;
}

int ParseProcess(const std::vector<std::string>& args, CommandLine* pLine,
                 CommandLineError* pError) {
    ProcessOptions& o = pLine->options;
    std::vector<std::string> files;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue =
            a == "--tempo" || a == "--rate" || a == "--pitch" || a == "--module";
        if (takesValue && i + 1 >= args.size())
            return Refuse(pError, a + " needs a value", false);
        if (a == "--tempo" || a == "--rate") {
            const std::string& v = args[++i];
            if (!ParseDecimal(v.c_str(), a == "--tempo" ? &o.tempo : &o.rate))
                return Refuse(pError, a + ": not a number: " + v);
        } else if (a == "--pitch") {
            const std::string& v = args[++i];
            if (!ParseWholeNumber(v.c_str(), &o.pitch))
                return Refuse(pError, "--pitch: not a whole number: " + v);
        } else if (a == "--module") {
            o.modulePath = args[++i];
        } else if (a == "--no-progress") {
            pLine->noProgress = true;
        } else if (a == "--steerable") {
            o.steerable = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return Refuse(pError, "unknown option " + a);
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2)
        return Refuse(pError, "process needs an input and an output file");
    o.inputPath = files[0];
    o.outputPath = files[1];
    return kExitOk;
}

} // namespace

int ParseCommandLine(const std::vector<std::string>& args, CommandLine* pLine,
                     CommandLineError* pError) {
    *pLine = CommandLine();
    if (args.empty())
        return Refuse(pError, "no command");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        pLine->command = CommandLine::Command::Help;
        return kExitOk;
    }
    if (command == "--version") {
        pLine->command = CommandLine::Command::Version;
        return kExitOk;
    }
    if (command == "register" || command == "unregister") {
        pLine->command = command == "register" ? CommandLine::Command::Register
                                               : CommandLine::Command::Unregister;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--module" && i + 1 < args.size())
                pLine->options.modulePath = args[++i];
            else
                return Refuse(pError, "unknown argument " + args[i]);
        }
        return kExitOk;
    }
    if (command == "process") {
        pLine->command = CommandLine::Command::Process;
        return ParseProcess(args, pLine, pError);
    }
    return Refuse(pError, "unknown command " + command);
}
