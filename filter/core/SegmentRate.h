// The segment-rate mode's arithmetic: a segment's playback rate taken as a tempo factor, and the
// segment's stamps carried into the stream's time at that rate. Counts only: no COM, no engine.
//
// A player changes speed through the graph's SetRate; the source then starts a segment of that
// rate, whose stamps count the file's time. A renderer presents a stamp t of such a segment at
// t / rate. In this mode the filter makes the audio that long itself (pitch kept) and passes on
// a segment of rate 1.0, so its outputs must carry the stream's time: t / rate.
#pragma once

#include <cstdint>

class SegmentRate {
public:
    // A rate the mode takes: VELOMIX_FACTOR_MIN to VELOMIX_FACTOR_MAX. Others (zero, negative
    // for reverse play, NaN, beyond the factor range) pass downstream as they are, unstretched.
    static bool Accepts(double dRate);

    // A new segment: its rate is taken when the mode accepts it, else the stream runs at 1.0.
    void Start(double dRate);
    // The rate taken (1.0 when none), and whether stamps must be scaled by it.
    double Rate() const { return m_dRate; }
    bool Scales() const { return m_nMillionths != 1000000; }
    // The rate to pass downstream with the segment: 1.0 where the filter takes the rate.
    double DownstreamRate(double dSegmentRate) const;

    // A stamp of the segment in the stream's time: t / rate, to the nearest 100 ns (halves away
    // from zero), the rate counted in exact millionths as the kit counts factors; clamped to the
    // range of int64_t.
    int64_t ToStreamTime(int64_t t) const;

    // The tempo the engine applies, in hundredths: the tempo set times the segment's rate, cut
    // to hundredths like any factor, brought to the nearest tempo inside the speed envelope
    // with the rate and pitch set (those the envelope already holds). bClamped tells whether it
    // had to be brought there.
    static int32_t CombinedTempoHundredths(double dTempo, double dSegmentRate,
                                           int32_t rateHundredths, int32_t pitch,
                                           bool* pbClamped = nullptr);

private:
    double m_dRate = 1.0;
    int64_t m_nMillionths = 1000000;
};
