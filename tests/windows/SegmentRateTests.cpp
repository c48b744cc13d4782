// SEGMENT_RATE=1 in the platform's graph: the tests' source starts segments at a player's rates
// (the graph here does not pass SetRate on, so the source says it itself), and what reaches the
// sink is a segment of rate 1.0 whose audio lasts the input's time over the rate, pitch kept,
// stamped without a gap in the stream's time; a later segment at 1.0 is the plain copy again.
#include "CaptureSink.h"
#include "Graphs.h"
#include "Harness.h"
#include "common/Listening.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kRate = 44100;
constexpr size_t kBlock = 4;           // 16-bit stereo
constexpr size_t kSampleFrames = 4410; // 100 ms

std::vector<uint8_t> Sine(double seconds) {
    const size_t frames = size_t(seconds * kRate);
    std::vector<uint8_t> bytes(frames * kBlock);
    for (size_t f = 0; f < frames; ++f) {
        const auto v = int16_t(std::lround(
            16000.0 * std::sin(2.0 * 3.14159265358979323846 * 440.0 * double(f) / kRate)));
        std::memcpy(&bytes[f * kBlock], &v, 2);
        std::memcpy(&bytes[f * kBlock + 2], &v, 2);
    }
    return bytes;
}

// The frequency of the first channel of bytes [from, to), away from its ends.
double Frequency(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    const size_t margin = kRate / 10 * kBlock;
    if (to - from < 4 * margin)
        return 0;
    size_t crossings = 0;
    int last = 0;
    for (size_t at = from + margin; at + kBlock <= to - margin; at += kBlock) {
        int16_t v = 0;
        std::memcpy(&v, &bytes[at], 2);
        const int sign = v > 200 ? 1 : v < -200 ? -1 : 0;
        if (sign != 0) {
            crossings += last != 0 && sign != last;
            last = sign;
        }
    }
    return double(crossings) / 2.0 / (double(to - from - 2 * margin) / kBlock / kRate);
}

// Segments of the source, each at its rate with its input: pushed in 100 ms samples stamped from
// 0 (media times in frames), then the end of stream. What the sink kept.
struct SourceSegment {
    double rate;
    const std::vector<uint8_t>* input;
};

CaptureLog Play(const CModule& module, const std::vector<SourceSegment>& segments) {
    SourceGraph g = RunSourceGraph(module, AudioType(WaveFormat(2, kRate, 16)),
                                   LONG(kSampleFrames * kBlock), [](SourceGraph&) {});
    for (const SourceSegment& s : segments) {
        const size_t frames = s.input->size() / kBlock;
        REQUIRE_HR(S_OK,
                   g.source->NewSegment(listening::FramesToUnits(int64_t(frames), kRate), s.rate));
        for (size_t first = 0; first < frames; first += kSampleFrames) {
            const size_t n = std::min(kSampleFrames, frames - first);
            REQUIRE_HR(S_OK, g.source->Push(s.input->data() + first * kBlock, LONG(n * kBlock),
                                            listening::FramesToUnits(int64_t(first), kRate),
                                            listening::FramesToUnits(int64_t(first + n), kRate),
                                            LONGLONG(first), LONGLONG(first + n), first == 0));
        }
    }
    REQUIRE_HR(S_OK, g.source->EndOfStream());
    return CompleteSourceGraph(g);
}

// Samples [first, end) follow each other from 0 without a gap, each lasting its frames; their
// frames, or -1 when one does not.
int64_t ContiguousFrames(const CaptureLog& log, size_t first, size_t end) {
    int64_t frames = 0;
    for (size_t k = first; k < end; ++k) {
        const CaptureLog::Sample& s = log.samples[k];
        if (!s.timeValid || s.length == 0 || s.tStart != listening::FramesToUnits(frames, kRate))
            return -1;
        frames += int64_t(s.length / kBlock);
        if (s.tStop != listening::FramesToUnits(frames, kRate))
            return -1;
    }
    return frames;
}

// The index of the first sample at or after a byte offset.
size_t SampleAt(const CaptureLog& log, size_t offset) {
    size_t k = 0;
    while (k < log.samples.size() && log.samples[k].offset < offset)
        ++k;
    return k;
}

} // namespace

VMX_TEST(segment_rate, a_players_rate_is_played_at_rate_one_in_the_streams_time) {
    const CSettingsFile ini("[INIT]\r\nSEGMENT_RATE=1\r\n");
    const std::vector<uint8_t> input = Sine(2.0);
    for (const double rate : {0.5, 1.25, 1.5, 2.0}) {
        CaptureLog log;
        WithModule([&](const CModule& module) { log = Play(module, {{rate, &input}}); });
        REQUIRE(log.segments.size() == 1, "rate %.2f: %u segments", rate,
                unsigned(log.segments.size()));
        CHECK(log.segments[0].rate == 1.0, "rate %.2f: the segment went on at %.3f", rate,
              log.segments[0].rate);
        const int64_t frames = ContiguousFrames(log, 0, log.samples.size());
        const int64_t expected = std::llround(88200 / rate);
        CHECK(frames == expected, "rate %.2f: %lld frames stamped without a gap, %lld expected",
              rate, static_cast<long long>(frames), static_cast<long long>(expected));
        REQUIRE(!log.samples.empty(), "rate %.2f: no output", rate);
        const REFERENCE_TIME end = log.samples.back().tStop;
        CHECK(end == std::llround(20000000 / rate), "rate %.2f: the stamps end at %lld", rate,
              static_cast<long long>(end));
        const double hz = Frequency(log.bytes, 0, log.bytes.size());
        std::printf("segment_rate: rate %.2f: %lld frames, stamps end at %.4f s, %.1f Hz\n", rate,
                    static_cast<long long>(frames), double(end) / 1e7, hz);
        CHECK(std::fabs(hz - 440.0) < 4.0, "rate %.2f: the tone is at %.1f Hz", rate, hz);
    }
}

VMX_TEST(segment_rate, a_later_segment_at_rate_one_is_the_plain_copy) {
    const CSettingsFile ini("[INIT]\r\nSEGMENT_RATE=1\r\n");
    const std::vector<uint8_t> first = Sine(1.0), second = Sine(2.0);
    CaptureLog log;
    WithModule([&](const CModule& module) { log = Play(module, {{1.5, &first}, {1.0, &second}}); });
    REQUIRE(log.segments.size() == 2, "%u segments", unsigned(log.segments.size()));
    CHECK(log.segments[0].rate == 1.0 && log.segments[1].rate == 1.0,
          "segments went on at %.3f and %.3f", log.segments[0].rate, log.segments[1].rate);
    const size_t split = SampleAt(log, log.segments[1].offset);
    CHECK(ContiguousFrames(log, 0, split) > 0, "the first segment's outputs join from 0");
    // Its last second: the input's own samples, bytes and stamps.
    REQUIRE(log.samples.size() >= split + 10, "%u outputs", unsigned(log.samples.size()));
    for (size_t k = log.samples.size() - 10, chunk = 10; k < log.samples.size(); ++k, ++chunk) {
        const CaptureLog::Sample& s = log.samples[k];
        const bool same = s.length == kSampleFrames * kBlock &&
                          std::memcmp(&log.bytes[s.offset], &second[chunk * kSampleFrames * kBlock],
                                      s.length) == 0;
        CHECK(same, "output %u is not input %u of the second segment", unsigned(k),
              unsigned(chunk));
        CHECK(s.timeValid &&
                  s.tStart == listening::FramesToUnits(int64_t(chunk * kSampleFrames), kRate),
              "output %u does not keep its input's start", unsigned(k));
    }
}
