// The stamps of restamped output: outputs stamped by the audio they carry. Counts only: no COM.
//
// The first input with a start time after a start, flush or new segment anchors the clock; every
// output then starts where the previous one stopped and lasts exactly its frames at the stream's
// rate, from a running frame count, so that no rounding adds up. Media times follow the same
// rule from the input's media start, in the unit the input's media times use. While the speed
// has stayed normal since the anchor, outputs keep their inputs' own stamps (the clock follows
// the inputs); the first stretched output ends that for good, until the next anchor.
#pragma once

#include <cstdint>

// The unit of an input's media times, told by how far they run over its audio: frames, bytes, or
// 100 ns like the time stamps. None when they are missing or match none of those.
enum class MediaUnit { None, Frames, Bytes, Time };
MediaUnit MediaUnitOf(bool bMediaValid, int64_t mtStart, int64_t mtStop, int64_t frames,
                      int32_t blockAlign, bool bTimeValid, int64_t tStart, int64_t tStop);

// An input's or output's stamps; either part may be missing.
struct SampleStamps {
    bool bTime = false; // a start time
    bool bStop = false; // and a stop time
    int64_t tStart = 0, tStop = 0;
    bool bMedia = false;
    int64_t mtStart = 0, mtStop = 0;
};

class StampClock {
public:
    // Start, flush, new segment: the next input with a start time anchors the clock.
    void Reset();
    // Anchors at the input's start when an anchor is pending and the input has a start time
    // (bTime false: outputs stay unstamped until an input says where the stream is).
    void AnchorAt(const SampleStamps& in, MediaUnit unit, uint32_t rate, int32_t blockAlign);
    // An output copied at normal speed since the anchor keeps its input's stamps: what comes
    // next starts where that input stops (or, without a stop, after its frames). False, and the
    // clock counts from then on, once an output was stretched or the input has no start time.
    bool FollowInput(const SampleStamps& in, int64_t frames, MediaUnit unit, uint32_t rate,
                     int32_t blockAlign);
    // The output stops following its inputs (it carries stretched audio).
    void StopFollowing() { m_bFollowing = false; }
    // The stamps of the next output of frames at rate (a new rate folds what was counted at the
    // old one into the anchor first). Unstamped (both parts missing) without an anchor.
    SampleStamps Next(int64_t frames, uint32_t rate, int32_t blockAlign);

    bool Anchored() const { return m_bValid; }
    bool Following() const { return m_bFollowing; }

private:
    int64_t MediaOffset(int64_t frames) const;

    bool m_bPending = true;
    bool m_bValid = false;
    bool m_bFollowing = true;
    MediaUnit m_Unit = MediaUnit::None;
    int64_t m_tAnchor = 0;
    int64_t m_mtAnchor = 0;
    int64_t m_nFrames = 0; // counted since the anchor at m_nRate
    uint32_t m_nRate = 0;
    int32_t m_nBlockAlign = 0;
};
