// The output the engine owes for a stretched stretch of input: what the tail at end of stream
// must bring the output up to, and what is still inside the engine at a speed change.
//
// Every input frame fed counts for the output frames the engine makes of it at the speed in force
// (its output per input ratio). Output made but not yet taken sits in the ring; output not yet
// made is inside the engine, as input it still holds. At a speed change the ring's output stays
// as made and only what the engine holds comes out at the new ratio. Counts only: no engine.
#pragma once

#include <cstdint>

class OwedOutput {
public:
    // A flush, a format change, the end of a stream or the start of a copy: nothing is owed.
    void Reset() {
        m_dExpected = 0;
        m_nTaken = 0;
    }
    // inFrames fed to the engine at outPerIn output frames per input frame.
    void Fed(int64_t inFrames, double outPerIn) { m_dExpected += double(inFrames) * outPerIn; }
    // Output frames taken from the engine's ring (delivered).
    void Taken(int64_t frames) { m_nTaken += frames; }

    // Output frames the engine has yet to make, rounded to the nearest frame, with ringFrames
    // made and waiting in the ring; 0 when it is ahead of its account.
    int64_t EngineOwedFrames(int64_t ringFrames) const;
    // The input frames the engine holds at outPerIn: what it owes, as input.
    double HeldInputFrames(int64_t ringFrames, double outPerIn) const;
    // A speed change: the input the engine holds comes out at newOutPerIn from now on.
    void Rescale(int64_t ringFrames, double oldOutPerIn, double newOutPerIn);
    // The end of a stretch spliced everything the engine owed into the ring: what was made is
    // what was owed.
    void Settle(int64_t ringFrames) { m_dExpected = double(m_nTaken + ringFrames); }
    // Output frames owed beyond those taken, rounded to the nearest frame (halves up); never
    // below 0.
    int64_t OwedFrames() const;

    double ExpectedFrames() const { return m_dExpected; }
    int64_t TakenFrames() const { return m_nTaken; }

private:
    double m_dExpected = 0; // output frames the input fed so far makes
    int64_t m_nTaken = 0;
};
