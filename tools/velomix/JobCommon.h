// What the platform jobs share, so that both print the same messages: the filter made and set
// as the options say, the progress bar and the summary line.
#pragma once

#include "ComPtr.h"
#include "control/IVelomixProp.h"
#include "JobInterrupt.h"
#include "ModuleLoader.h"
#include "OutputFile.h"
#include "ProcessJob.h"
#include "media.h"

#include <functional>
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

// Says on stderr that OUT names the input file, which writing would destroy; returns
// kExitUsage.
int RefuseOutputIsInput(const ProcessOptions& options);

// Makes the file the job writes for OUT (see COutputFile) and has a second interruption remove
// it. kExitOk, or the exit code after saying why not.
int PrepareOutput(const ProcessOptions& options, COutputFile& output, CJobInterrupt& interrupt);

// Ends the process after an interruption (CJobInterrupt::EndProcess): a second one no longer
// removes anything, closeWriter lets go of the file, the temporary file goes, and stderr says
// what became of OUT.
[[noreturn]] void EndInterruptedJob(const ProcessOptions& options, COutputFile& output,
                                    CJobInterrupt& interrupt,
                                    const std::function<void()>& closeWriter);

// The writer has closed the finished file: puts it in place as OUT. kExitOk, or kExitFailure
// after saying why.
int CommitOutput(const ProcessOptions& options, COutputFile& output, CJobInterrupt& interrupt);

// Tempo, rate and pitch as the filter holds them.
struct SpeedSetting {
    double tempo = 1.0;
    double rate = 1.0;
    int pitch = 0;
};

// The filter's values read back through IVelomixProp at the end of a run, a change made by
// velomixctl while it ran included; the options' values when the filter does not answer.
SpeedSetting SpeedInForce(IBaseFilter* filter, const ProcessOptions& options);

// Watches the filter's values through IVelomixProp for changes a controller makes during the
// run: Poll at each turn of the job's wait and once at the end. Job's thread.
class CSpeedWatch {
public:
    CSpeedWatch(IBaseFilter* filter, const ProcessOptions& options);
    void Poll();
    int Changes() const { return m_nChanges; }
    const SpeedSetting& Last() const { return m_Last; }

private:
    ComPtr<IVelomixProp> m_Prop;
    SpeedSetting m_Last;
    int m_nChanges = 0;
};

// After the summary, a line on stdout when a controller changed the speed during the run (only
// possible with --steerable): how many changes the watch saw, and the values it ended at.
void PrintSteeringNote(const CSpeedWatch& watch);

// "OUT: X s in, Y s out (tempo T, rate R, pitch P), Nx realtime" on stdout, for the values
// read back from the filter (speed). One that differs from what the options set (velomixctl
// changed it while the job ran) is followed by "from" and the setting ("tempo 1.5 from 1").
// Which whole percent the engine runs a factor at is the module's business: not repeated here.
void PrintSummary(const ProcessOptions& options, const SpeedSetting& speed, double inSeconds,
                  double outSeconds, double elapsedSeconds);
