// What the platform jobs share, so that both print the same messages: the filter made and set
// as the options say, the progress bar and the summary line.
#pragma once

#include "ComPtr.h"
#include "ModuleLoader.h"
#include "ProcessJob.h"
#include "media.h"

#include <string>

// "0x80070057".
std::string HexResult(HRESULT hr);

// Prints "velomix: message" on stderr; returns kExitFailure.
int JobFailure(const std::string& message);

// Loads the module (options.modulePath, else CModuleLoader::DefaultPath()) into module, makes
// the filter through its class factory and gives it the options' tempo, rate and pitch.
// kExitOk with filter set; otherwise prints why and returns kExitFailure, or kExitUsage
// for a value the filter refused.
int CreateConfiguredFilter(const ProcessOptions& options, CModuleLoader& module,
                           ComPtr<IBaseFilter>& filter);

// Redraws the progress bar on stderr; fraction from 0 to 1.
void DrawProgress(double fraction);

// "OUT: X s in, Y s out (tempo T, rate R, pitch P), Nx realtime" on stdout.
void PrintSummary(const ProcessOptions& options, double inSeconds, double outSeconds,
                  double elapsedSeconds);
