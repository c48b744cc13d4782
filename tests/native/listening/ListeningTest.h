// The listening tests' fixture: the filter tests' one (private settings folder, every object
// released at the end), with the checks that hold a measured change or run to the goal. Each
// check's message gives the figure measured and its bound.
#pragma once

#include "FilterTest.h"
#include "ListeningRun.h"

using listening::ChangeCase;
using listening::ChangeFigures;
using listening::SpeedSetting;

class ListeningTest : public FilterTest {
protected:
    // A new filter for each run, reading RESTAMP=1 (or SEGMENT_RATE=1) from the settings file
    // when asked.
    FilterMaker Maker(bool bRestamp, bool bSegmentRate = false);

    // Nothing dropped or repeated beyond 5 ms, no step above 1.5 times the steady ones, the
    // length within its bounds, the stamps as RESTAMP says and, back at normal speed, the
    // input's own bytes (and stamps) again within a second. bStampsInOneSegment false: the
    // change starts a new segment, where stamps may start again; their check is left out.
    static void ExpectInaudible(const ChangeCase& c, const ChangeFigures& f, bool bRestamp,
                                bool bStampsInOneSegment = true);
    // The length within its bounds, no silence at the end beyond what the input held at the last
    // change makes at the last speed, the stamps as RESTAMP says, and no step above 1.5 times
    // the steady ones at any change (when measured).
    static void ExpectRunHolds(const RunCase& c, const RunFigures& f, bool bRestamp);
};

// "tempo 1.5 -> normal, s16 2ch 44100 Hz, 100 ms input samples"
std::string Describe(const ChangeCase& c);
