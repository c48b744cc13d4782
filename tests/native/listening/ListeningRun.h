// The filter driven as a listener's player drives it, for the listening tests and the measurement
// program: a source that pushes the audio in input samples of a fixed length, a Velomix filter
// between it and a sink that keeps every output, and the speed set through IVelomixProp in the
// source's hook between two input samples, on the streaming thread.
//
// MeasureChange plays one change on a chirp and on the click tones and hands back every figure
// the listening analyses give (common/Listening.h); MeasureRun plays a run of many changes.
#pragma once

#include "common/Listening.h"

#include "ComPtr.h"
#include "media.h"
#include "posix/CollectingSink.h"

#include <functional>
#include <string>
#include <vector>

// Before input sample `sample` is filled, the speed becomes `to`.
struct SpeedChange {
    size_t sample = 0;
    listening::SpeedSetting to;
};

struct RunPlan {
    listening::Format format;
    std::vector<uint8_t> input;
    size_t sampleFrames = 4410; // frames per input sample (the last may be shorter)
    listening::SpeedSetting start;
    std::vector<SpeedChange> changes;
    // The tempo as a player's rate instead (SEGMENT_RATE): the source's segment starts at the
    // start's tempo, and each change's tempo comes as a new segment of that rate, in the stream,
    // before its sample; the setters keep tempo 1.0.
    bool bTempoBySegment = false;
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

// Makes a new filter for each run (a test's filter, with its settings file in place).
using FilterMaker = std::function<ComPtr<IBaseFilter>()>;
listening::ChangeFigures MeasureChange(const FilterMaker& make, const listening::ChangeCase& c,
                                       bool bRestamp, bool bTempoBySegment = false);

// A run of many changes on the click tones: each stretch of input (whole input samples) at its
// speed.
struct StretchAt {
    double seconds = 1;
    listening::SpeedSetting speed;
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
