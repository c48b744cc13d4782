// One run of the module over a file: file source -> Velomix -> file sink.
#pragma once

#include <string>

struct ProcessOptions {
    std::string inputPath;
    std::string outputPath;
    std::string modulePath;
    double tempo = 1.0;
    double rate = 1.0;
    int pitch = 0;
    bool progress = false; // draw a progress bar on stderr
};

// Exit codes the tool documents.
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// Runs the job; prints errors and the summary line. Returns an ExitCode.
int RunProcessJob(const ProcessOptions& options);
