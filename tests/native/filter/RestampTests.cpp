// RESTAMP=1: output samples stamped by the audio they carry, as a renderer that plays by time
// stamps needs.
#include "FilterTest.h"

#include <algorithm>
#include <ostream>

namespace {

// The index of the first sample the sink received after a flush ended (all of them if none).
size_t FirstSampleAfterFlush(const CCollectingSink& sink) {
    bool afterFlush = false;
    for (const SinkEvent& e : sink.Events()) {
        afterFlush = afterFlush || e.kind == SinkEvent::EndFlush;
        if (afterFlush && e.kind == SinkEvent::Sample)
            return e.iSample;
    }
    return sink.Samples().size();
}

constexpr DWORD kRate = 44100;
constexpr LONG kBuffer100ms = 4410 * 4; // 100 ms of 16-bit stereo

// Samples [first, end) carry audio, start where the previous one stopped (the first at t0 and
// media time mt0) and last exactly their frames at the stream's rate. Media times count frames,
// or 100 ns units like the stamps (bMediaInTime).
void ExpectStampedByTheirAudio(const std::vector<ReceivedSample>& out, size_t first, size_t end,
                               const WAVEFORMATEX& wfx, REFERENCE_TIME t0, LONGLONG mt0,
                               bool bMediaInTime = false) {
    ASSERT_LT(first, end);
    const auto media = [&](LONGLONG frames) {
        return mt0 + (bMediaInTime ? CPcmProvider::FrameTime(frames, wfx.nSamplesPerSec) : frames);
    };
    LONGLONG frames = 0;
    for (size_t k = first; k < end; ++k) {
        const ReceivedSample& s = out[k];
        ASSERT_GT(s.lActual, 0) << "sample " << k << " is empty";
        ASSERT_TRUE(s.bTimeValid && s.bStopValid && s.bMediaTimeValid) << "sample " << k;
        ASSERT_EQ(s.tStart, t0 + CPcmProvider::FrameTime(frames, wfx.nSamplesPerSec))
            << "sample " << k;
        ASSERT_EQ(s.mtStart, media(frames)) << "sample " << k;
        frames += s.lActual / wfx.nBlockAlign;
        ASSERT_EQ(s.tStop, t0 + CPcmProvider::FrameTime(frames, wfx.nSamplesPerSec))
            << "sample " << k;
        ASSERT_EQ(s.mtStop, media(frames)) << "sample " << k;
    }
}

} // namespace

// Tempo from the start, or changes while playing (chunk index -> tempo).
struct RestampCase {
    const char* name;
    double tempo;
    std::vector<std::pair<int, double>> changes;
    double outputSeconds; // for 3 s of input in 100 ms chunks
};

void PrintTo(const RestampCase& c, std::ostream* os) {
    *os << c.name;
}

class RestampTest : public FilterTest, public ::testing::WithParamInterface<RestampCase> {};

TEST_P(RestampTest, OutputsJoinAndLastTheirAudioTailIncluded) {
    const RestampCase p = GetParam();
    WriteSettings("[INIT]\nRESTAMP=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    ComPtr<IVelomixProp> prop;
    auto hook = [&prop, &p](int chunk, SourceChunk&) {
        for (const auto& [at, tempo] : p.changes)
            if (chunk == at)
                prop->SetTempo(tempo);
    };
    Chain c = BuildChain(
        AudioType(wfx),
        std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 3.0), kBuffer100ms, hook),
        kBuffer100ms);
    prop = c.prop;
    ASSERT_HR(S_OK, c.prop->SetTempo(p.tempo));
    RunToEnd(c);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ExpectStampedByTheirAudio(out, 0, out.size(), wfx, 0, 0);
    const double seconds = double(Output(c).size()) / wfx.nAvgBytesPerSec;
    EXPECT_NEAR(seconds, p.outputSeconds, 0.02 * p.outputSeconds);
    EXPECT_EQ(c.sink->EventNames().back(), "eos");
}

INSTANTIATE_TEST_SUITE_P(
    Tempos, RestampTest,
    ::testing::Values(RestampCase{"faster", 1.5, {}, 3.0 / 1.5},
                      RestampCase{"slower", 0.75, {}, 3.0 / 0.75},
                      // 1 s at 1.0, 1 s at 2.0, 1 s at 0.75
                      RestampCase{"changes", 1.0, {{10, 2.0}, {20, 0.75}}, 1.0 + 0.5 + 1.0 / 0.75}),
    [](const ::testing::TestParamInfo<RestampCase>& param) {
        return std::string(param.param.name);
    });

TEST_F(FilterTest, RestampedMediaTimesKeepTheInputsUnit) {
    // A source whose media times run in 100 ns units like its stamps (Wine's parser does so).
    WriteSettings("[INIT]\nRESTAMP=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    auto hook = [](int, SourceChunk& chunk) {
        chunk.mtStart = chunk.tStart + 5000000;
        chunk.mtStop = chunk.tStop + 5000000;
    };
    Chain c = BuildChain(
        AudioType(wfx),
        std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 2.0), kBuffer100ms, hook),
        kBuffer100ms);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    RunToEnd(c);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ExpectStampedByTheirAudio(out, 0, out.size(), wfx, 0, 5000000, true);
}

TEST_F(FilterTest, RestampingKeepsTheInputsStampsUntilTheSpeedChanges) {
    WriteSettings("[INIT]\nRESTAMP=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Noise(kBuffer100ms * 20);
    ComPtr<IVelomixProp> prop;
    auto hook = [&prop](int chunk, SourceChunk&) {
        if (chunk == 6)
            prop->SetTempo(1.5);
    };
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms, hook),
                   kBuffer100ms);
    prop = c.prop;
    RunToEnd(c);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_GT(out.size(), 6u);
    // Normal speed: the inputs themselves, stamps included.
    for (size_t k = 0; k < 6; ++k) {
        const LONGLONG frame = LONGLONG(k) * kBuffer100ms / wfx.nBlockAlign;
        EXPECT_EQ(out[k].tStart, CPcmProvider::FrameTime(frame, kRate));
        EXPECT_EQ(out[k].mtStart, frame);
        EXPECT_EQ(out[k].lActual, kBuffer100ms);
    }
    EXPECT_TRUE(std::equal(out[0].data.begin(), out[0].data.end(), input.begin()));
    // Then at 1.5 from where the last copy stopped.
    ExpectStampedByTheirAudio(out, 0, out.size(), wfx, 0, 0);
}

TEST_F(FilterTest, RestampingStartsAgainAtTheSegmentASeekMakes) {
    WriteSettings("[INIT]\nRESTAMP=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 4.0);

    // The streaming thread held inside the sink, as a renderer does, until the seek begins.
    Chain c =
        BuildHeldChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input), kBuffer100ms);
    ASSERT_TRUE(c.prop);
    ASSERT_HR(S_OK, c.prop->SetTempo(0.75));
    ASSERT_NO_FATAL_FAILURE(SeekWhileHeld(c, 25000000)); // 2.5 s

    // After the flush: the new segment's samples, from its start (time 0, media frame of 2.5 s).
    const std::vector<ReceivedSample> samples = c.sink->Samples();
    const size_t first = FirstSampleAfterFlush(*c.sink.Get());
    ASSERT_LT(first, samples.size());
    ExpectStampedByTheirAudio(samples, first, samples.size(), wfx, 0, LONGLONG(kRate) * 5 / 2);
    LONGLONG bytes = 0;
    for (size_t k = first; k < samples.size(); ++k)
        bytes += samples[k].lActual;
    EXPECT_NEAR(double(bytes) / wfx.nAvgBytesPerSec, 1.5 / 0.75, 0.03);
}

// A flush without a new segment (upstream flushes and goes on in the same segment): the first
// input after it anchors the stamps again, at its own start.
TEST_F(FilterTest, RestampingStartsAgainAfterAFlushWithoutANewSegment) {
    WriteSettings("[INIT]\nRESTAMP=1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 2.0);
    ComPtr<IPin> in;
    auto hook = [&in](int chunk, SourceChunk&) {
        if (chunk == 10) {
            // Between two samples, on the streaming thread, as a source that flushes itself.
            EXPECT_HR(S_OK, in->BeginFlush());
            EXPECT_HR(S_OK, in->EndFlush());
        }
    };
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms, hook),
                   kBuffer100ms);
    in = Pin(c.filter.Get(), L"In");
    ASSERT_HR(S_OK, c.prop->SetTempo(2.0));
    RunToEnd(c);
    const std::vector<ReceivedSample> samples = c.sink->Samples();
    const size_t first = FirstSampleAfterFlush(*c.sink.Get());
    ASSERT_LT(first, samples.size());
    // Chunk 10 starts at 1 s (its media times at frame 44100); before the flush only a second of
    // tempo 2 had come out, half a second of stamps.
    const LONGLONG frame = 10LL * kBuffer100ms / wfx.nBlockAlign;
    EXPECT_EQ(samples[first].tStart, CPcmProvider::FrameTime(frame, kRate));
    ExpectStampedByTheirAudio(samples, first, samples.size(), wfx,
                              CPcmProvider::FrameTime(frame, kRate), frame);
}
