// The filter driven as a listener's player drives it, for the listening tests and the measurement
// program: a source that pushes the audio in input samples of a fixed length, a Velomix filter
// between it and a sink that keeps every output, and the speed set through IVelomixProp in the
// source's hook between two input samples, on the streaming thread.
//
// MeasureChange runs one change twice, on a chirp and on a steady tone, and hands back every
// figure the listening analyses give (Listening.h).
#pragma once

#include "common/Listening.h"

#include "ComPtr.h"
#include "media.h"
#include "posix/CollectingSink.h"

#include <functional>
#include <string>
#include <vector>

struct SpeedSetting {
    double tempo = 1, rate = 1;
    int pitch = 0;

    bool IsNormal() const { return tempo == 1 && rate == 1 && pitch == 0; }
    listening::Playback Playback() const { return listening::PlaybackOf(tempo, rate, pitch); }
    // "tempo 1.5", "rate 1.2", "pitch +3", "tempo 1.5 pitch +3", "normal"
    std::string Name() const;
};

// Before input sample `sample` is filled, the speed becomes `to`.
struct SpeedChange {
    size_t sample = 0;
    SpeedSetting to;
};

struct RunPlan {
    listening::Format format;
    std::vector<uint8_t> input;
    size_t samplesFrames = 4410; // frames per input sample (the last may be shorter)
    SpeedSetting start;
    std::vector<SpeedChange> changes;
};

struct RunRecord {
    std::string error; // empty when the run reached its end of stream
    std::vector<ReceivedSample> samples;
    std::vector<uint8_t> output;
    // Output frames the sink had when each change was made.
    std::vector<size_t> framesAtChange;
    // Each setter's result, in the order called.
    std::vector<HRESULT> setterResults;
};

// Runs plan through pFilter (a new Velomix, not in a graph), stops and takes the graph apart;
// the caller keeps its reference to the filter.
RunRecord RunFilter(IBaseFilter* pFilter, const RunPlan& plan);

// The input sample spans of a plan, 100 ns units (as the source stamps them).
std::vector<listening::Span> InputSpans(const RunPlan& plan);

// One change of the table: `from` before input second `at`, `to` after.
struct ChangeCase {
    SpeedSetting from, to;
    listening::Format format;
    double sampleSeconds = 0.1; // input sample length
    double inputSeconds = 4;
    double at = 2; // a whole number of input samples
};

struct ChangeFigures {
    std::string error; // a run that failed, or an analysis that could not be made
    listening::SpliceFigures splice;
    listening::StepFigures step;
    listening::LengthBounds length; // of the chirp's run
    double outputSeconds = 0;
    double lengthErrorMs = 0; // output length - nominal
    // To normal speed: input milliseconds from the change to where the output became the input's
    // bytes again (the common end of both); -1 when the output never did.
    double bitExactAfterMs = -1;
    // RESTAMP=0: the first output of a run that lies outside its input's span, RESTAMP=1: the
    // first that does not join the one before; the run's output count when none.
    size_t firstBadStamp = 0;
    size_t outputCount = 0;
    // RESTAMP=0, to normal speed: input milliseconds from the change to the first output from
    // which on every output is an input sample's bytes with its stamps; -1 when the last is not.
    double exactCopiesAfterMs = -1;
};

// Makes a new filter for each run (a test's filter, with its settings file in place).
using FilterMaker = std::function<ComPtr<IBaseFilter>()>;
ChangeFigures MeasureChange(const FilterMaker& make, const ChangeCase& c, bool bRestamp);

// A run of many changes on the click tones: each stretch of input (whole input samples) at its
// speed.
struct StretchAt {
    double seconds = 1;
    SpeedSetting speed;
};
struct RunCase {
    listening::Format format;
    double sampleSeconds = 0.1;
    std::vector<StretchAt> stretches;
    bool bSteps = true; // measure the clicks at each change
};
struct RunFigures {
    std::string error;
    listening::LengthBounds length;
    double outputSeconds = 0;
    double lengthErrorMs = 0;
    double trailingQuietMs = 0;       // the silence the output ends in
    listening::StepFigures worstStep; // at the change with the largest ratio
    size_t worstStepChange = 0;
    size_t firstBadStamp = 0; // as in ChangeFigures
    size_t outputCount = 0;
};
RunFigures MeasureRun(const FilterMaker& make, const RunCase& c, bool bRestamp);
