// Runs of many changes: the output's length follows the speeds' integral, also at the corners of
// the speed envelope and with inputs of seconds, nothing is padded with silence, the stamps stay
// as RESTAMP says, and no change clicks.
#include "ListeningTest.h"

#include <ostream>

using listening::Format;
using listening::SampleType;

namespace {

struct RunTestCase {
    const char* name;
    RunCase run;
    bool bRestamp;
};

void PrintTo(const RunTestCase& c, std::ostream* os) {
    *os << c.name;
}

RunCase Alternating(double sampleSeconds, double stretchSeconds, int count, double first,
                    double second) {
    RunCase c;
    c.format = Format{SampleType::S16, 1, 44100};
    c.sampleSeconds = sampleSeconds;
    c.bSteps = false; // at 50, a stretch of 100 ms makes 2 ms: nothing steady to hear clicks in
    for (int i = 0; i < count; ++i)
        c.stretches.push_back({stretchSeconds, {i % 2 ? second : first, 1, 0}});
    return c;
}

// 1.2 s at 0.8, 34 changes 300 ms apart between 0.8 and 1.25, 1.2 s at the last.
RunCase ManySmallChanges() {
    RunCase c;
    c.format = Format{SampleType::S16, 2, 44100};
    c.sampleSeconds = 0.1;
    for (int i = 0; i <= 34; ++i) {
        const double tempo = 0.8 + 0.05 * ((i * 7) % 10);
        c.stretches.push_back({i == 0 || i == 34 ? 1.2 : 0.3, {tempo, 1, 0}});
    }
    return c;
}

RunCase FiftyThenSlow() {
    RunCase c = Alternating(0.1, 5.0, 1, 50, 50);
    c.stretches.push_back({0.1, {0.05, 1, 0}});
    return c;
}

// Slowed down, back to normal and slowed down again before the input a return waits for (up to
// 250 ms with 10 ms samples) has come: what waited must still come out.
RunCase BackToNormalForAMoment() {
    RunCase c;
    c.format = Format{SampleType::S16, 2, 44100};
    c.sampleSeconds = 0.01;
    c.stretches = {{2.0, {0.5, 1, 0}}, {0.03, {1, 1, 0}}, {1.0, {0.5, 1, 0}}};
    return c;
}

const RunTestCase kRuns[] = {
    {"BackToNormalFor30msWith10msSamples", BackToNormalForAMoment(), false},
    {"Tempo50For5sThen0_05For100ms", FiftyThenSlow(), false},
    {"Tempo0_05And50Every100ms", Alternating(0.1, 0.1, 50, 0.05, 50), false},
    {"FiveSecondInputsAt50And0_05", Alternating(5.0, 5.0, 4, 50, 0.05), false},
    {"ThirtyFourChangesBetween0_8And1_25", ManySmallChanges(), false},
    {"ThirtyFourChangesBetween0_8And1_25_Restamped", ManySmallChanges(), true},
};

} // namespace

class RunTest : public ListeningTest, public ::testing::WithParamInterface<RunTestCase> {};

TEST_P(RunTest, LengthFollowsTheSpeeds) {
    const RunTestCase& p = GetParam();
    ExpectRunHolds(p.run, MeasureRun(Maker(p.bRestamp), p.run, p.bRestamp), p.bRestamp);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunTest, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<RunTestCase>& param) {
                             return std::string(param.param.name);
                         });
