// Speed changes while the audio plays, as a listener makes them: at every change nothing is
// dropped or repeated beyond the engine's own splices, nothing clicks, the length follows the
// speeds, the stamps stay as RESTAMP says, and back at normal speed the output is the input again.
#include "ListeningTest.h"

#include <ostream>

using listening::Format;
using listening::SampleType;

namespace {

struct Change {
    const char* name;
    SpeedSetting from, to;
};

void PrintTo(const Change& c, std::ostream* os) {
    *os << c.name;
}

// The changes of the closing notes' table.
const Change kTable[] = {
    {"NormalToTempo1_5", {1, 1, 0}, {1.5, 1, 0}},
    {"NormalToTempo0_5", {1, 1, 0}, {0.5, 1, 0}},
    {"Tempo1_5ToTempo0_75", {1.5, 1, 0}, {0.75, 1, 0}},
    {"Tempo2ToTempo0_75", {2, 1, 0}, {0.75, 1, 0}},
    {"NormalToRate1_2", {1, 1, 0}, {1, 1.2, 0}},
    {"NormalToPitchUp3", {1, 1, 0}, {1, 1, 3}},
    {"Tempo1_5ToNormal", {1.5, 1, 0}, {1, 1, 0}},
    {"Tempo0_5ToNormal", {0.5, 1, 0}, {1, 1, 0}},
    {"Rate1_2ToNormal", {1, 1.2, 0}, {1, 1, 0}},
    {"PitchUp3ToNormal", {1, 1, 3}, {1, 1, 0}},
    {"Tempo0_75ToTempo2", {0.75, 1, 0}, {2, 1, 0}},
};

struct TableCase {
    Change change;
    bool bRestamp;
};

void PrintTo(const TableCase& c, std::ostream* os) {
    *os << c.change.from.Name() << " -> " << c.change.to.Name()
        << (c.bRestamp ? ", RESTAMP=1" : "");
}

std::string TableName(const ::testing::TestParamInfo<TableCase>& info) {
    return std::string(info.param.change.name) + (info.param.bRestamp ? "_Restamped" : "");
}

} // namespace

class TableChangeTest : public ListeningTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(TableChangeTest, IsInaudible) {
    const TableCase& p = GetParam();
    ChangeCase c;
    c.from = p.change.from;
    c.to = p.change.to;
    c.format = Format{SampleType::S16, 2, 44100};
    c.sampleSeconds = 0.1;
    ExpectInaudible(c, MeasureChange(Maker(p.bRestamp), c, p.bRestamp), p.bRestamp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TableChangeTest,
    ::testing::Values(
        // Both stamp modes for every change of the table.
        TableCase{kTable[0], false}, TableCase{kTable[1], false}, TableCase{kTable[2], false},
        TableCase{kTable[3], false}, TableCase{kTable[4], false}, TableCase{kTable[5], false},
        TableCase{kTable[6], false}, TableCase{kTable[7], false}, TableCase{kTable[8], false},
        TableCase{kTable[9], false}, TableCase{kTable[10], false}, TableCase{kTable[0], true},
        TableCase{kTable[1], true}, TableCase{kTable[2], true}, TableCase{kTable[3], true},
        TableCase{kTable[4], true}, TableCase{kTable[5], true}, TableCase{kTable[6], true},
        TableCase{kTable[7], true}, TableCase{kTable[8], true}, TableCase{kTable[9], true},
        TableCase{kTable[10], true}),
    TableName);

// ---- the same over input sample sizes, rates, channel counts and sample formats ----------------

namespace {

struct GridPoint {
    const char* name;
    Format format;
    double sampleSeconds;
};

// A representative grid rather than the whole product: each size, rate, channel count and sample
// format at least twice, in different company.
const GridPoint kGrid[] = {
    {"U8Mono8kHz10ms", {SampleType::U8, 1, 8000}, 0.01},
    {"S16Stereo8kHz1s", {SampleType::S16, 2, 8000}, 1.0},
    {"F32Stereo44kHz10ms", {SampleType::F32, 2, 44100}, 0.01},
    {"S16Sixteen44kHz1s", {SampleType::S16, 16, 44100}, 1.0},
    {"U8Stereo44kHz100ms", {SampleType::U8, 2, 44100}, 0.1},
    {"F32Mono192kHz100ms", {SampleType::F32, 1, 192000}, 0.1},
    {"S16Sixteen192kHz10ms", {SampleType::S16, 16, 192000}, 0.01},
    {"S24Six48kHz100ms", {SampleType::S24, 6, 48000}, 0.1},
    {"S32Stereo96kHz1s", {SampleType::S32, 2, 96000}, 1.0},
};

// To and from normal speed, between stretched speeds, and several values at once.
const Change kSweep[] = {
    {"NormalToTempo1_5", {1, 1, 0}, {1.5, 1, 0}},
    {"Tempo1_5ToTempo0_75", {1.5, 1, 0}, {0.75, 1, 0}},
    {"Tempo1_5ToNormal", {1.5, 1, 0}, {1, 1, 0}},
    // Slowed down, the engine's output runs ahead of its count: the join is searched for.
    {"Tempo0_5ToNormal", {0.5, 1, 0}, {1, 1, 0}},
    {"Tempo1_25PitchDown2ToTempo0_8Rate1_1", {1.25, 1, -2}, {0.8, 1.1, 0}},
};

struct GridCase {
    GridPoint point;
    Change change;
};

void PrintTo(const GridCase& c, std::ostream* os) {
    *os << c.change.from.Name() << " -> " << c.change.to.Name() << ", " << c.point.format.Name()
        << ", " << c.point.sampleSeconds * 1000 << " ms input samples";
}

std::string GridName(const ::testing::TestParamInfo<GridCase>& info) {
    return std::string(info.param.point.name) + "_" + info.param.change.name;
}

std::vector<GridCase> GridCases() {
    std::vector<GridCase> cases;
    for (const GridPoint& point : kGrid)
        for (const Change& change : kSweep)
            cases.push_back({point, change});
    return cases;
}

} // namespace

class GridChangeTest : public ListeningTest, public ::testing::WithParamInterface<GridCase> {};

TEST_P(GridChangeTest, IsInaudible) {
    const GridCase& p = GetParam();
    ChangeCase c;
    c.from = p.change.from;
    c.to = p.change.to;
    c.format = p.point.format;
    c.sampleSeconds = p.point.sampleSeconds;
    // 192 kHz and 16 channels: 3 s keep a run's bytes in bounds, with 1.2 s on either side.
    if (c.format.rate * c.format.channels > 1000000) {
        c.inputSeconds = 3;
        c.at = 1.5;
    }
    ExpectInaudible(c, MeasureChange(Maker(false), c, false), false);
}

INSTANTIATE_TEST_SUITE_P(Grid, GridChangeTest, ::testing::ValuesIn(GridCases()), GridName);

// ---- a player's rate change (SEGMENT_RATE): a new segment mid-stream, heard like a setter's ----

class SegmentChangeTest : public ListeningTest, public ::testing::WithParamInterface<Change> {};

TEST_P(SegmentChangeTest, IsInaudible) {
    const Change& p = GetParam();
    ChangeCase c;
    c.from = p.from;
    c.to = p.to;
    c.format = Format{SampleType::S16, 2, 44100};
    c.sampleSeconds = 0.1;
    ExpectInaudible(c, MeasureChange(Maker(false, true), c, false, true), false, false);
}

// The tempo of each setting is the segment's rate.
INSTANTIATE_TEST_SUITE_P(Segment, SegmentChangeTest,
                         ::testing::Values(Change{"NormalToRate1_5", {1, 1, 0}, {1.5, 1, 0}},
                                           Change{"Rate2ToRate0_75", {2, 1, 0}, {0.75, 1, 0}},
                                           Change{"Rate1_25ToNormal", {1.25, 1, 0}, {1, 1, 0}}),
                         [](const ::testing::TestParamInfo<Change>& param) {
                             return std::string(param.param.name);
                         });
