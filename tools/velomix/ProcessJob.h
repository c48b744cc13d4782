// One run of the module over a file: file source -> Velomix -> file sink. One implementation
// per platform: ProcessJob.cpp (libsndfile and the framework's own graph) and
// ProcessJobWin32.cpp (WAV files in the platform's graph manager).
#pragma once

#include <string>

struct ProcessOptions {
    std::string inputPath;
    std::string outputPath;
    std::string modulePath;
    double tempo = 1.0;
    double rate = 1.0;
    int pitch = 0;
    bool progress = false;  // draw a progress bar on stderr
    bool steerable = false; // join the user's control channel (velomixctl may change the speed)
};

// Exit codes the tool documents.
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// Runs the job; prints errors and the summary line. Returns an ExitCode.
int RunProcessJob(const ProcessOptions& options);

// True when stderr is an interactive terminal (a console on Windows): the progress bar is
// drawn only there unless asked not to.
bool StderrIsTerminal();

// Sets VELOMIX_CHANNEL for this process before the module makes a filter: "off" keeps a batch
// job out of reach of the user's controllers (and out of their sight); steerable removes the
// variable, so that an inherited "off" does not defeat the option.
void ChooseControlChannel(bool steerable);

// The --help paragraph on what IN and OUT may be on this platform, ending in a newline.
extern const char kProcessFileFormats[];
