#include "StampClock.h"

#include "MediaTime.h"

#include <limits>

MediaUnit MediaUnitOf(bool bMediaValid, int64_t mtStart, int64_t mtStop, int64_t frames,
                      int32_t blockAlign, bool bTimeValid, int64_t tStart, int64_t tStop) {
    if (!bMediaValid || frames <= 0 || blockAlign <= 0)
        return MediaUnit::None;
    // Differences of hostile stamps may not fit: saturated, they match no unit.
    const int64_t span = SaturatingSub(mtStop, mtStart);
    if (span == std::numeric_limits<int64_t>::max() || span == std::numeric_limits<int64_t>::min())
        return MediaUnit::None; // two saturated spans are equal, not alike
    if (span == frames)
        return MediaUnit::Frames;
    if (span == frames * blockAlign)
        return MediaUnit::Bytes;
    if (bTimeValid && span == SaturatingSub(tStop, tStart))
        return MediaUnit::Time;
    return MediaUnit::None;
}

void StampClock::Reset() {
    m_bPending = true;
    m_bValid = false;
}

void StampClock::AnchorAt(const SampleStamps& in, MediaUnit unit, uint32_t rate,
                          int32_t blockAlign) {
    if (!m_bPending || !in.bTime)
        return;
    m_Unit = unit;
    m_tAnchor = in.tStart;
    m_mtAnchor = in.mtStart;
    m_nFrames = 0;
    m_nRate = rate;
    m_nBlockAlign = blockAlign;
    m_bValid = true;
    m_bPending = false;
    m_bFollowing = true;
}

bool StampClock::FollowInput(const SampleStamps& in, int64_t frames, MediaUnit unit, uint32_t rate,
                             int32_t blockAlign) {
    if (!m_bFollowing || !m_bValid || !in.bTime) {
        m_bFollowing = false;
        return false;
    }
    m_tAnchor = in.bStop ? in.tStop : SaturatingAdd(in.tStart, FramesToTime(frames, rate));
    m_Unit = unit;
    m_mtAnchor = in.mtStop;
    m_nFrames = 0;
    m_nRate = rate;
    m_nBlockAlign = blockAlign;
    return true;
}

int64_t StampClock::MediaOffset(int64_t frames) const {
    switch (m_Unit) {
    case MediaUnit::Bytes:
        return frames * m_nBlockAlign;
    case MediaUnit::Time:
        return FramesToTime(frames, m_nRate);
    default:
        return frames;
    }
}

SampleStamps StampClock::Next(int64_t frames, uint32_t rate, int32_t blockAlign) {
    SampleStamps out;
    if (!m_bValid || rate == 0)
        return out;
    if (rate != m_nRate || blockAlign != m_nBlockAlign) {
        // A new format mid-stream: what was counted so far counts at the old one.
        m_tAnchor = SaturatingAdd(m_tAnchor, FramesToTime(m_nFrames, m_nRate));
        m_mtAnchor = SaturatingAdd(m_mtAnchor, MediaOffset(m_nFrames));
        m_nFrames = 0;
        m_nRate = rate;
        m_nBlockAlign = blockAlign;
    }
    const int64_t first = m_nFrames;
    m_nFrames += frames;
    out.bTime = true;
    out.bStop = true;
    out.tStart = SaturatingAdd(m_tAnchor, FramesToTime(first, rate));
    out.tStop = SaturatingAdd(m_tAnchor, FramesToTime(m_nFrames, rate));
    if (m_Unit != MediaUnit::None) {
        out.bMedia = true;
        out.mtStart = SaturatingAdd(m_mtAnchor, MediaOffset(first));
        out.mtStop = SaturatingAdd(m_mtAnchor, MediaOffset(m_nFrames));
    }
    return out;
}
