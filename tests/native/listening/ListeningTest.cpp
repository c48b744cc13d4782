#include "ListeningTest.h"

#include <cstdio>

namespace {

// The goal's bounds.
constexpr double kMaxSpliceMs = 5;       // input dropped or repeated at a change
constexpr double kMaxStepRatio = 1.5;    // a step near a change over the steady ones
constexpr double kMaxCopyAfterMs = 1000; // back at normal speed, until the input's bytes again
constexpr double kHeldSeconds = 0.1; // input held at a change that may come out at the new speed

std::string Ms(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", v);
    return text;
}

} // namespace

std::string Describe(const ChangeCase& c) {
    char samples[32];
    std::snprintf(samples, sizeof(samples), "%g ms input samples", c.sampleSeconds * 1000);
    return c.from.Name() + " -> " + c.to.Name() + ", " + c.format.Name() + ", " + samples;
}

FilterMaker ListeningTest::Maker(bool bRestamp, bool bSegmentRate) {
    if (bRestamp || bSegmentRate)
        WriteSettings(std::string("[INIT]\n") + (bRestamp ? "RESTAMP=1\n" : "") +
                      (bSegmentRate ? "SEGMENT_RATE=1\n" : ""));
    return [this] { return CreateFilter(); };
}

void ListeningTest::ExpectInaudible(const ChangeCase& c, const ChangeFigures& f, bool bRestamp,
                                    bool bStampsInOneSegment) {
    const std::string what = Describe(c);
    ASSERT_TRUE(f.error.empty()) << what << ": " << f.error;
    ASSERT_TRUE(f.splice.valid) << what << ": " << f.splice.problem;
    EXPECT_LE(f.splice.droppedMs, kMaxSpliceMs)
        << what << ": " << Ms(f.splice.droppedMs) << " of input dropped at the change, bound "
        << Ms(kMaxSpliceMs) << " (the engine's own splices jitter by " << Ms(f.splice.jitterMs)
        << ")";
    EXPECT_LE(f.splice.repeatedMs, kMaxSpliceMs)
        << what << ": " << Ms(f.splice.repeatedMs) << " of input repeated at the change, bound "
        << Ms(kMaxSpliceMs) << " (the engine's own splices jitter by " << Ms(f.splice.jitterMs)
        << ")";
    ASSERT_TRUE(f.step.valid) << what << ": no steady tone to measure clicks against";
    EXPECT_LE(f.step.ratio, kMaxStepRatio)
        << what << ": a step of " << f.step.ratio << " times the steady ones at output second "
        << f.step.atSecond << " (channel " << f.step.channel << "), bound " << kMaxStepRatio;
    EXPECT_GE(f.outputSeconds, f.length.low)
        << what << ": " << f.outputSeconds << " s of output, at least " << f.length.low
        << " s expected (" << f.length.nominal << " s by the speeds)";
    EXPECT_LE(f.outputSeconds, f.length.high)
        << what << ": " << f.outputSeconds << " s of output, at most " << f.length.high
        << " s expected (" << f.length.nominal << " s by the speeds)";
    if (bStampsInOneSegment) {
        EXPECT_EQ(f.firstBadStamp, f.outputCount)
            << what << ": output " << f.firstBadStamp << " of " << f.outputCount
            << (bRestamp ? " does not start where the one before stopped"
                         : " lies outside its input's time span");
    }
    if (!c.to.IsNormal())
        return;
    EXPECT_GE(f.bitExactAfterMs, 0) << what << ": the output never became the input again";
    EXPECT_LE(f.bitExactAfterMs, kMaxCopyAfterMs)
        << what << ": the output became the input's bytes again " << Ms(f.bitExactAfterMs)
        << " after the change, bound " << Ms(kMaxCopyAfterMs);
    if (!bRestamp) {
        EXPECT_GE(f.exactCopiesAfterMs, 0)
            << what << ": the outputs never became the inputs again, bytes and stamps";
        EXPECT_LE(f.exactCopiesAfterMs, kMaxCopyAfterMs)
            << what << ": the outputs became the inputs again, bytes and stamps, "
            << Ms(f.exactCopiesAfterMs) << " after the change, bound " << Ms(kMaxCopyAfterMs);
    }
}

void ListeningTest::ExpectRunHolds(const RunCase& c, const RunFigures& f, bool bRestamp) {
    ASSERT_TRUE(f.error.empty()) << f.error;
    EXPECT_GE(f.outputSeconds, f.length.low)
        << f.outputSeconds << " s of output, at least " << f.length.low << " s expected ("
        << f.length.nominal << " s by the speeds)";
    EXPECT_LE(f.outputSeconds, f.length.high)
        << f.outputSeconds << " s of output, at most " << f.length.high << " s expected ("
        << f.length.nominal << " s by the speeds)";
    const double lastSpeed = c.stretches.back().speed.Speeds().speed;
    const double quietBound = 1000 * kHeldSeconds / lastSpeed;
    EXPECT_LE(f.trailingQuietMs, quietBound)
        << "the output ends in " << Ms(f.trailingQuietMs) << " of silence, bound " << Ms(quietBound)
        << " (what the held input makes at the last speed)";
    EXPECT_EQ(f.firstBadStamp, f.outputCount)
        << "output " << f.firstBadStamp << " of " << f.outputCount
        << (bRestamp ? " does not start where the one before stopped"
                     : " lies outside its input's time span");
    if (!c.bSteps)
        return;
    ASSERT_TRUE(f.worstStep.valid) << "no steady tone to measure clicks against";
    EXPECT_LE(f.worstStep.ratio, kMaxStepRatio)
        << "a step of " << f.worstStep.ratio << " times the steady ones at change "
        << f.worstStepChange << " (output second " << f.worstStep.atSecond << ", channel "
        << f.worstStep.channel << "), bound " << kMaxStepRatio;
}
