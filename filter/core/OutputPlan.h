// How the output of one input sample is cut into output samples, and where each output lies in
// the input's time span. Counts only: no COM, no engine.
//
// A stretched input is fed to the engine in slices (so that one long input at a slow tempo never
// makes minutes of output at once) and its output is delivered in groups: the slices fed until the
// engine's ring holds more than one output buffer, then that output as whole buffers. An input's
// last group delivers what is left (at least one output sample, possibly empty, so that the
// outputs of an input end at its stop), keeping back at most one buffer for the next input unless
// the stream's stretch ends with this input (everything goes). Each output carries the share of
// the group's input frames that its bytes are of the group's output, rounded to whole frames.
#pragma once

#include <cstdint>

// Input frames per slice: the input whose output would be longer than kSliceOutputSeconds (or
// four output buffers) goes to the engine in slices of about that much output.
int32_t SliceFrames(int32_t inFrames, double outPerIn, int32_t cbBuffer, int32_t blockAlign,
                    int32_t samplesPerSec);

class InputPlan {
public:
    static constexpr int32_t kSliceOutputSeconds = 5;

    // One output sample: cbBytes of output, lying over input frames [inFrom, inTo) / unit:
    // its share of the group's frames, exactly as its bytes are of the group's output.
    struct Output {
        int32_t cbBytes;
        int64_t inFrom;
        int64_t inTo;
        int64_t unit;
    };

    // A new input of inFrames whole frames, cut into outputs of at most cbBuffer bytes.
    void Start(int32_t inFrames, int32_t cbBuffer);
    // The input frames of the next slice, starting after fedFrames (0 when all are fed).
    int32_t NextSlice(int32_t fedFrames, int32_t sliceFrames) const;
    // True when feeding may stop for this group: the ring holds more than one buffer.
    bool GroupFull(int32_t cbHeld) const;
    // Plans the outputs of the frames fed since the last group, with cbHeld bytes in the ring.
    // bLastGroup: every frame of the input is fed; bDrainAll: nothing may stay in the ring.
    void PlanGroup(int32_t fedFrames, int32_t cbHeld, bool bLastGroup, bool bDrainAll);
    // Outputs of the planned group still to go.
    bool GroupOpen() const { return m_bGroupOpen; }
    // The next output of the group, cbMax bytes at most (an output buffer's size).
    Output Next(int32_t cbMax);

    int32_t PlannedBytes() const { return m_cbPlanned; }
    int32_t InFrames() const { return m_nInFrames; }
    int32_t BufferBytes() const { return m_cbBuffer; }

private:
    int64_t PositionAt(int32_t cbOffset, bool bStop) const;

    int32_t m_nInFrames = 0;
    int32_t m_cbBuffer = 0;
    int32_t m_nGroupFrom = 0, m_nGroupTo = 0; // input frames of the group
    int32_t m_cbPlanned = 0, m_cbDone = 0;    // output bytes of the group
    bool m_bGroupOpen = false;
};
