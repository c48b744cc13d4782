// SEGMENT_RATE=1: a player's SetRate on the graph reaches the source, whose new segment carries
// the rate; the filter plays the audio at that pace with its pitch kept and passes the segment
// on at rate 1.0, stamped in the stream's time.
#include "FilterTest.h"

#include <cmath>
#include <limits>
#include <ostream>

namespace {

constexpr DWORD kRate = 44100;
constexpr LONG kBuffer100ms = 4410 * 4; // 100 ms of 16-bit stereo
constexpr LONGLONG kSecond = 10000000;

struct Segment {
    size_t firstSample; // index of the first sample after the segment's start
    SinkEvent event;
};

std::vector<Segment> Segments(const CCollectingSink& sink) {
    std::vector<Segment> segments;
    size_t samples = 0;
    for (const SinkEvent& e : sink.Events()) {
        if (e.kind == SinkEvent::NewSegment)
            segments.push_back({samples, e});
        samples += e.kind == SinkEvent::Sample;
    }
    return segments;
}

// Samples [first, end) carry audio and follow each other from t0 without a gap, each lasting
// exactly its frames; returns the frames they carry.
LONGLONG ExpectContiguousFrom(const std::vector<ReceivedSample>& out, size_t first, size_t end,
                              REFERENCE_TIME t0) {
    LONGLONG frames = 0;
    for (size_t k = first; k < end; ++k) {
        const ReceivedSample& s = out[k];
        EXPECT_GT(s.lActual, 0) << "sample " << k;
        EXPECT_TRUE(s.bTimeValid && s.bStopValid) << "sample " << k;
        EXPECT_EQ(s.tStart, t0 + CPcmProvider::FrameTime(frames, kRate)) << "sample " << k;
        frames += s.lActual / 4;
        EXPECT_EQ(s.tStop, t0 + CPcmProvider::FrameTime(frames, kRate)) << "sample " << k;
    }
    return frames;
}

// The frequency of a stretch of the output's first channel, from its zero crossings.
double Frequency(const std::vector<ReceivedSample>& out, size_t first, size_t end) {
    std::vector<uint8_t> bytes;
    for (size_t k = first; k < end; ++k)
        bytes.insert(bytes.end(), out[k].data.begin(), out[k].data.end());
    const std::vector<int16_t> s = Channel0(bytes, 2);
    // Away from the ends, where the engine fades in and out.
    const size_t margin = kRate / 10;
    if (s.size() < 4 * margin)
        return 0;
    const std::vector<int16_t> middle(s.begin() + margin, s.end() - margin);
    return double(ZeroCrossings(middle)) / 2.0 / (double(middle.size()) / kRate);
}

ComPtr<IMediaSeeking> Seeking(IPin* pin) {
    ComPtr<IMediaSeeking> seeking;
    EXPECT_HR(S_OK, pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)));
    return seeking;
}

class SegmentRateTest : public FilterTest, public ::testing::WithParamInterface<double> {};

} // namespace

TEST_P(SegmentRateTest, APlayersRateIsPlayedAtRateOneInTheStreamsTime) {
    const double rate = GetParam();
    WriteSettings("[INIT]\nSEGMENT_RATE=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 2.0);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms),
                         kBuffer100ms);
    // As a player's graph does it: through the renderer's upstream pin, passed on to the source.
    ASSERT_HR(S_OK, Seeking(Pin(c.filter.Get(), L"Out").Get())->SetRate(rate));
    RunToEnd(c);

    const std::vector<Segment> segments = Segments(*c.sink.Get());
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].event.dRate, 1.0);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    // 88200 frames of input at the segment's pace, and stamps that end where they do: 2 s / rate.
    const LONGLONG expected = std::llround(88200 / rate);
    EXPECT_EQ(ExpectContiguousFrom(out, 0, out.size(), 0), expected);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().tStop, std::llround(2 * kSecond / rate));
    // The pitch kept: still 440 Hz.
    EXPECT_NEAR(Frequency(out, 0, out.size()), 440.0, 4.0);
    EXPECT_EQ(c.sink->EventNames().back(), "eos");
    // The tempo set is the listener's own, apart from the player's rate.
    double tempo = 0;
    ASSERT_HR(S_OK, c.prop->GetTempo(&tempo));
    EXPECT_EQ(tempo, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SegmentRateTest, ::testing::Values(0.5, 1.25, 1.5, 2.0),
                         [](const ::testing::TestParamInfo<double>& param) {
                             return "x" + std::to_string(int(param.param * 100));
                         });

TEST_F(FilterTest, WithoutTheModeASegmentsRateGoesOnAsItCame) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 0.5);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms),
                         kBuffer100ms);
    ASSERT_HR(S_OK, Seeking(Pin(c.filter.Get(), L"Out").Get())->SetRate(1.5));
    RunToEnd(c);
    const std::vector<Segment> segments = Segments(*c.sink.Get());
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].event.dRate, 1.5);
    EXPECT_EQ(Output(c), input);
}

// Segments change while the stream plays, without a flush: 1.0, then 1.5 with the stamps
// starting again, then 1.0 again. The tempo set multiplies the segment's rate.
TEST_F(FilterTest, SegmentRatesChangeMidStreamAndRateOneReturnsToTheCopy) {
    WriteSettings("[INIT]\nSEGMENT_RATE=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 4.0);
    ComPtr<IPin> in;
    const REFERENCE_TIME kSegment2 = 10 * kSecond, kSegment3 = 20 * kSecond;
    auto hook = [&in, kSegment2, kSegment3](int chunk, SourceChunk& s) {
        // Chunks 0-9 at 1.0, 10-19 at 1.5 (stamped from 0.3 s), 20-39 at 1.0 (from 0 again).
        if (chunk == 10) {
            EXPECT_HR(S_OK, in->NewSegment(kSegment2, kSegment2 + kSecond, 1.5));
        }
        if (chunk == 20) {
            EXPECT_HR(S_OK, in->NewSegment(kSegment3, kSegment3 + 2 * kSecond, 1.0));
        }
        const REFERENCE_TIME back = chunk >= 20 ? 2 * kSecond : chunk >= 10 ? kSecond * 7 / 10 : 0;
        s.tStart -= back;
        s.tStop -= back;
    };
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms, hook),
                   kBuffer100ms);
    in = Pin(c.filter.Get(), L"In");
    RunToEnd(c);

    const std::vector<ReceivedSample> out = c.sink->Samples();
    const std::vector<Segment> segments = Segments(*c.sink.Get());
    ASSERT_EQ(segments.size(), 3u);
    for (const Segment& s : segments) {
        EXPECT_EQ(s.event.dRate, 1.0);
    }
    EXPECT_EQ(segments[1].event.tStart, kSegment2);
    EXPECT_EQ(segments[1].event.tStop, kSegment2 + kSecond);
    // The first segment: the inputs themselves.
    ASSERT_EQ(segments[1].firstSample, 10u);
    for (size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(out[k].tStart, LONGLONG(k) * kSecond / 10);
        EXPECT_TRUE(std::equal(out[k].data.begin(), out[k].data.end(),
                               input.begin() + LONGLONG(k) * kBuffer100ms));
    }
    // The second: from 0.3 s in the stream's time at 1.5, by its audio, at 440 Hz.
    const size_t first2 = segments[1].firstSample, end2 = segments[2].firstSample;
    ASSERT_LT(first2, end2);
    const LONGLONG frames2 = ExpectContiguousFrom(out, first2, end2, 2000000);
    // A second of input at 1.5, less what the engine still held when the segment ended.
    EXPECT_LE(frames2, 29400);
    EXPECT_GT(frames2, 29400 - 4410);
    EXPECT_NEAR(Frequency(out, first2, end2), 440.0, 4.0);
    // The third: the stretch ends into the input, then copies with the inputs' stamps.
    ASSERT_GE(out.size(), end2 + 10);
    for (size_t k = out.size() - 10, chunk = 30; k < out.size(); ++k, ++chunk) {
        EXPECT_EQ(out[k].tStart, LONGLONG(chunk - 20) * kSecond / 10) << "sample " << k;
        EXPECT_EQ(out[k].lActual, kBuffer100ms);
        EXPECT_TRUE(std::equal(out[k].data.begin(), out[k].data.end(),
                               input.begin() + LONGLONG(chunk) * kBuffer100ms))
            << "sample " << k;
    }
}

TEST_F(FilterTest, TheTempoSetMultipliesTheSegmentsRateWithinTheEnvelope) {
    WriteSettings("[INIT]\nSEGMENT_RATE=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 2.0);
    for (const auto& [tempo, rate, frames] :
         {std::tuple<double, double, LONGLONG>{0.8, 1.25, 88200}, // 1.0: the plain copy
          {1.2, 1.25, 58800},                                     // 1.5
          {40.0, 2.0, 1764}}) {                                   // 80: played at 50
        SCOPED_TRACE(tempo);
        Chain c =
            BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms),
                       kBuffer100ms);
        ASSERT_HR(S_OK, c.prop->SetTempo(tempo));
        ASSERT_HR(S_OK, Seeking(Pin(c.filter.Get(), L"Out").Get())->SetRate(rate));
        RunToEnd(c);
        const std::vector<ReceivedSample> out = c.sink->Samples();
        LONGLONG total = 0;
        for (const ReceivedSample& s : out)
            total += s.lActual / 4;
        EXPECT_EQ(total, frames);
        if (frames == 88200) {
            EXPECT_EQ(Output(c), input);
        }
        // Stamps in the stream's time: 2 s at the player's rate, whatever the tempo set.
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].tStart, 0);
        EXPECT_EQ(out.back().tStop, CPcmProvider::FrameTime(frames, kRate));
    }
}

// Rates the filter does not play pass on as they came, the audio untouched; a rate it plays on
// stamps at the end of the range clamps them instead of wrapping.
TEST_F(FilterTest, OtherRatesPassOnAndExtremeStampsClamp) {
    WriteSettings("[INIT]\nSEGMENT_RATE=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 0.5);
    for (const double rate : {-1.0, 0.0, 0.04, 51.0, std::nan("")}) {
        SCOPED_TRACE(rate);
        ComPtr<IPin> in;
        auto hook = [&in, rate](int chunk, SourceChunk&) {
            if (chunk == 0) {
                EXPECT_HR(S_OK, in->NewSegment(0, kSecond, rate));
            }
        };
        Chain c = BuildChain(AudioType(wfx),
                             std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms, hook),
                             kBuffer100ms);
        in = Pin(c.filter.Get(), L"In");
        RunToEnd(c);
        const std::vector<Segment> segments = Segments(*c.sink.Get());
        ASSERT_EQ(segments.size(), 2u);
        if (std::isnan(rate)) {
            EXPECT_TRUE(std::isnan(segments[1].event.dRate));
        } else {
            EXPECT_EQ(segments[1].event.dRate, rate);
        }
        EXPECT_EQ(Output(c), input);
        EXPECT_EQ(c.sink->Samples().at(1).tStart, kSecond / 10);
    }
    // At 0.05 every stamp is twenty times as late: near the end of the range, the end itself.
    constexpr REFERENCE_TIME kLate = std::numeric_limits<REFERENCE_TIME>::max() / 10;
    auto late = [](int, SourceChunk& s) {
        s.tStart += kLate;
        s.tStop += kLate;
    };
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms, late),
                   kBuffer100ms);
    ASSERT_HR(S_OK, Seeking(Pin(c.filter.Get(), L"Out").Get())->SetRate(0.05));
    RunToEnd(c);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].tStart, std::numeric_limits<REFERENCE_TIME>::max());
    for (const ReceivedSample& s : out) {
        EXPECT_EQ(s.tStop, std::numeric_limits<REFERENCE_TIME>::max());
    }
    LONGLONG frames = 0;
    for (const ReceivedSample& s : out)
        frames += s.lActual / 4;
    EXPECT_EQ(frames, 22050 * 20);
}
