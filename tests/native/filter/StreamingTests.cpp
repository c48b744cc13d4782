// The streaming path: what reaches the sink for what the source sends.
#include "FilterTest.h"
#include "LogCapture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRate = 44100;
constexpr LONG kBuffer100ms = 4410 * 4; // 100 ms of 16-bit stereo

double Seconds(size_t bytes, const WAVEFORMATEX& wfx) {
    return double(bytes) / wfx.nAvgBytesPerSec;
}

} // namespace

TEST_F(FilterTest, NormalSpeedIsABitExactCopyWithTheInputTimes) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Noise(kBuffer100ms * 7 + 1000);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input), kBuffer100ms);
    RunToEnd(c);

    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_EQ(out.size(), 8u) << "one output sample per input sample, nothing extra at the end";
    EXPECT_EQ(Output(c), input);
    LONGLONG frame = 0;
    for (const ReceivedSample& s : out) {
        ASSERT_TRUE(s.bTimeValid && s.bStopValid && s.bMediaTimeValid);
        const LONGLONG frames = s.lActual / wfx.nBlockAlign;
        EXPECT_EQ(s.tStart, CPcmProvider::FrameTime(frame, kRate));
        EXPECT_EQ(s.tStop, CPcmProvider::FrameTime(frame + frames, kRate));
        EXPECT_EQ(s.mtStart, frame);
        EXPECT_EQ(s.mtStop, frame + frames);
        EXPECT_TRUE(s.bSyncPoint);
        EXPECT_EQ(s.bDiscontinuity, frame == 0);
        frame += frames;
    }
    EXPECT_EQ(c.sink->Count(SinkEvent::EndOfStream), 1u);
}

// An upstream that stamps only start times: the copy carries each input's start, exactly, and
// invents no stop.
TEST_F(FilterTest, InputsWithoutAStopTimeGiveOutputsWithoutOne) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Noise(kBuffer100ms * 4, 5);
    auto provider = std::make_unique<CChunkProvider>(
        wfx, input, kBuffer100ms, [](int, SourceChunk& chunk) { chunk.bStopValid = false; });
    Chain c = BuildChain(AudioType(wfx), std::move(provider), kBuffer100ms);
    RunToEnd(c);
    EXPECT_EQ(Output(c), input);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_EQ(out.size(), 4u);
    for (size_t k = 0; k < out.size(); ++k) {
        EXPECT_TRUE(out[k].bTimeValid) << "sample " << k;
        EXPECT_FALSE(out[k].bStopValid) << "sample " << k;
        EXPECT_EQ(out[k].tStart,
                  CPcmProvider::FrameTime(
                      static_cast<LONGLONG>(k) * (kBuffer100ms / wfx.nBlockAlign), kRate));
    }
}

TEST_F(FilterTest, DiscontinuitySamplesAreFilledLikeAnyOther) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Noise(kBuffer100ms * 5, 11);
    auto provider = std::make_unique<CChunkProvider>(
        wfx, input, kBuffer100ms, [](int, SourceChunk& chunk) { chunk.bDiscontinuity = true; });
    Chain c = BuildChain(AudioType(wfx), std::move(provider), kBuffer100ms);
    RunToEnd(c);
    EXPECT_EQ(Output(c), input);
    for (const ReceivedSample& s : c.sink->Samples())
        EXPECT_TRUE(s.bDiscontinuity);
    Release(c);

    // The same at tempo 2: discontinuities are processed, not passed over.
    Chain fast = BuildChain(AudioType(wfx),
                            std::make_unique<CChunkProvider>(
                                wfx, Sine16(2, kRate, 440, 2.0), kBuffer100ms,
                                [](int, SourceChunk& chunk) { chunk.bDiscontinuity = true; }),
                            kBuffer100ms);
    ASSERT_HR(S_OK, fast.prop->SetTempo(2.0));
    RunToEnd(fast);
    EXPECT_NEAR(Seconds(Output(fast).size(), wfx), 1.0, 0.02);
}

// Output length and pitch for tempo, rate and pitch changes on a steady tone.
struct SpeedCase {
    double tempo, rate;
    int pitch;
    double lengthRatio;    // output duration / input duration
    double frequencyRatio; // output frequency / input frequency
    LONG chunk;            // bytes per input sample: slowing down needs room in the output buffer
};

class SpeedTest : public FilterTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedTest, LengthAndPitchFollowTheValues) {
    const SpeedCase p = GetParam();
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const double seconds = 3.0;
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, seconds);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, p.chunk),
                         kBuffer100ms);
    ASSERT_HR(S_OK, c.prop->SetTempo(p.tempo));
    ASSERT_HR(S_OK, c.prop->SetRate(p.rate));
    ASSERT_HR(S_OK, c.prop->SetPitch(p.pitch));
    RunToEnd(c);

    const std::vector<uint8_t> out = Output(c);
    const double outSeconds = Seconds(out.size(), wfx);
    EXPECT_NEAR(outSeconds, seconds * p.lengthRatio, 0.01 * seconds)
        << "within the engine's latency";
    const std::vector<int16_t> left = Channel0(out, 2);
    const double crossingsPerSecond = ZeroCrossings(left) / outSeconds;
    EXPECT_NEAR(crossingsPerSecond / (2 * 440.0), p.frequencyRatio, 0.03 * p.frequencyRatio);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, SpeedTest,
    ::testing::Values(SpeedCase{2.0, 1.0, 0, 0.5, 1.0, kBuffer100ms}, // tempo 2 halves the bytes
                      SpeedCase{1.5, 1.0, 0, 1 / 1.5, 1.0,
                                kBuffer100ms}, // tail delivered at the end
                      SpeedCase{1.0, 1.25, 0, 1 / 1.25, 1.25, kBuffer100ms}, // rate: tape faster
                      SpeedCase{1.0, 1.0, 12, 1.0, 2.0, kBuffer100ms},       // +12 semitones
                      SpeedCase{0.5, 1.0, 0, 2.0, 1.0, kBuffer100ms / 2 - 400}
                      // slower: half-full inputs
                      ));

TEST_F(FilterTest, TailSamplesFollowTheLastTimeStamp) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, Sine16(2, kRate, 440, 1.0)),
                   kBuffer100ms);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    RunToEnd(c);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_GT(out.size(), 10u) << "ten inputs and at least one tail sample";
    for (size_t i = 10; i < out.size(); ++i) {
        ASSERT_TRUE(out[i].bTimeValid);
        EXPECT_EQ(out[i].tStart, out[i - 1].tStop) << "tail sample " << i;
        EXPECT_GT(out[i].lActual, 0);
    }
    const std::vector<std::string> events = c.sink->EventNames();
    EXPECT_EQ(events.back(), "eos") << "the tail comes before the end of stream";
}

// Sends what another provider sends and tells when it has no more: what the sink receives from
// then on is the filter's tail.
class CEndTellingProvider final : public CSampleProvider {
public:
    explicit CEndTellingProvider(std::unique_ptr<CSampleProvider> inner)
        : m_Inner(std::move(inner)) {}
    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        const HRESULT hr = m_Inner->FillBuffer(pBuffer, cbBuffer, pChunk);
        m_bEnded = m_bEnded || hr == S_FALSE;
        return hr;
    }
    REFERENCE_TIME Duration() const noexcept override { return m_Inner->Duration(); }
    std::shared_ptr<std::atomic<bool>> Ended() { return {m_Self, &m_bEnded}; }

private:
    std::unique_ptr<CSampleProvider> m_Inner;
    std::atomic<bool> m_bEnded{false};
    std::shared_ptr<int> m_Self = std::make_shared<int>(0);
};

// A refusal downstream in the tail is said once, as a warning (downstream reports its own
// error), the rest of the tail is dropped and the end of stream still goes out.
TEST_F(FilterTest, TailRefusedDownstreamIsLoggedOnceAndTheEndGoesOut) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    auto provider = std::make_unique<CEndTellingProvider>(
        std::make_unique<CPcmProvider>(wfx, Sine16(2, kRate, 440, 1.0)));
    const std::shared_ptr<std::atomic<bool>> ended = provider->Ended();
    CCollectingSink::Options options;
    options.onSample = [ended](IMediaSample*, const ReceivedSample&) {
        return *ended ? E_FAIL : S_OK;
    };
    Chain c = BuildChain(AudioType(wfx), std::move(provider), kBuffer100ms, 4, options);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    LogCapture log;
    RunToEnd(c);
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(lines, std::vector<std::string>{"Velomix warning: downstream refused the end of the "
                                              "stream (0x80004005); the rest of it is dropped\n"});
    EXPECT_EQ(c.sink->Count(SinkEvent::EndOfStream), 1u);
    EXPECT_EQ(c.sink->EventNames().back(), "eos");
}

TEST_F(FilterTest, SpeedChangesWhileStreamingLeaveNoGap) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    ComPtr<IVelomixProp> prop;
    auto hook = [&prop](int chunk, SourceChunk&) {
        // Changes arrive from another thread in a player; here on the streaming thread,
        // between samples, which is just as legal for a setter.
        switch (chunk) {
        case 5:
            prop->SetTempo(1.3);
            break;
        case 9:
            prop->SetRate(0.9);
            break;
        case 13:
            prop->SetPitch(3);
            break;
        case 17:
            prop->SetTempo(0.8);
            break;
        case 21:
            prop->SetPitch(-2);
            prop->SetRate(1.1);
            break;
        default:
            break;
        }
    };
    Chain c = BuildChain(
        AudioType(wfx),
        std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 3.0), kBuffer100ms / 2, hook),
        kBuffer100ms);
    prop = c.prop;
    RunToEnd(c);
    const std::vector<int16_t> left = Channel0(Output(c), 2);
    ASSERT_GT(left.size(), kRate * 2u);
    EXPECT_LT(LongestQuietRun(left), kRate * 50u / 1000) << "a gap longer than 50 ms";
}

TEST_F(FilterTest, NoAudioFromBeforeASeekFollowsIt) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    // Loud noise, then silence from 2 s on; the seek goes into the silence.
    std::vector<uint8_t> input = Noise(static_cast<size_t>(wfx.nAvgBytesPerSec) * 2, 3);
    input.resize(static_cast<size_t>(wfx.nAvgBytesPerSec) * 4, 0);

    // The streaming thread held inside the sink, as a renderer does, until the seek begins.
    Chain c =
        BuildHeldChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input), kBuffer100ms);
    ASSERT_TRUE(c.prop);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    ASSERT_NO_FATAL_FAILURE(SeekWhileHeld(c, 25000000)); // 2.5 s

    // Everything after the end of the flush must be the silence from after the seek point.
    bool afterFlush = false;
    size_t silentBytes = 0;
    const std::vector<ReceivedSample> samples = c.sink->Samples();
    for (const SinkEvent& e : c.sink->Events()) {
        if (e.kind == SinkEvent::EndFlush)
            afterFlush = true;
        if (e.kind != SinkEvent::Sample || !afterFlush)
            continue;
        for (uint8_t b : samples[e.iSample].data)
            ASSERT_EQ(b, 0) << "audio from before the seek in sample " << e.iSample;
        silentBytes += samples[e.iSample].data.size();
    }
    EXPECT_TRUE(afterFlush);
    EXPECT_NEAR(Seconds(silentBytes, wfx), 1.5 / 1.5, 0.02)
        << "the new position's audio, tail included";
}

// Slowed down, one input makes several outputs: once a flush has begun while the first of them
// was held downstream, none of the others may follow it.
TEST_F(FilterTest, NoOutputIsDeliveredOnceAFlushHasBegun) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> input = Sine16(2, kRate, 440, 4.0);
    // Inputs of a second: the first already makes four seconds, in outputs of a second.
    Chain c = BuildHeldChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input),
                             static_cast<LONG>(wfx.nAvgBytesPerSec));
    ASSERT_TRUE(c.prop);
    ASSERT_HR(S_OK, c.prop->SetTempo(0.25));
    ASSERT_NO_FATAL_FAILURE(SeekWhileHeld(c, 20000000));
    EXPECT_EQ(c.sink->Count(SinkEvent::BeginFlush), 1u);
    EXPECT_EQ(c.sink->SamplesWhileFlushing(), 0u);
}

TEST_F(FilterTest, AReconnectedFormatRunsAtTheCurrentSpeed) {
    // First run: stereo 44.1 kHz at tempo 2.
    const WAVEFORMATEX stereo = WaveFormat(2, kRate, 16);
    Chain c = BuildChain(AudioType(stereo),
                         std::make_unique<CPcmProvider>(stereo, Sine16(2, kRate, 440, 1.0)),
                         kBuffer100ms);
    ASSERT_HR(S_OK, c.prop->SetTempo(2.0));
    RunToEnd(c);
    EXPECT_NEAR(Seconds(Output(c).size(), stereo), 0.5, 0.02);

    // Then mono 22.05 kHz through the same filter, with no new speed change latched.
    const WAVEFORMATEX mono = WaveFormat(1, 22050, 16);
    ComPtr<CPushSource> source2;
    CPushSource::Options so;
    so.cbBuffer = 2205 * 2;
    ASSERT_HR(S_OK,
              CPushSource::Create(AudioType(mono),
                                  std::make_unique<CPcmProvider>(mono, Sine16(1, 22050, 440, 1.0)),
                                  so, &source2));
    ComPtr<IPin> in = Pin(c.filter.Get(), L"In");
    ComPtr<IPin> out = Pin(c.filter.Get(), L"Out");
    ASSERT_HR(S_OK, c.graph->Disconnect(out.Get()));
    ASSERT_HR(S_OK, c.graph->Disconnect(c.sink->InputPin()));
    ASSERT_HR(S_OK, c.graph->Disconnect(in.Get()));
    ASSERT_HR(S_OK, c.graph->Disconnect(c.source->OutputPin()));
    ASSERT_HR(S_OK, c.graph->AddFilter(source2.Get(), L"mono source"));
    ASSERT_HR(S_OK, c.graph->ConnectDirect(source2->OutputPin(), in.Get(), nullptr));
    ASSERT_HR(S_OK, c.graph->ConnectDirect(out.Get(), c.sink->InputPin(), nullptr));
    c.sink->Clear();
    RunToEnd(c);
    EXPECT_NEAR(Seconds(Output(c).size(), mono), 0.5, 0.02) << "the new processor kept tempo 2";
}

// Every sample format the filter takes streams at its own width.
struct FormatCase {
    WORD bits;
    WORD channels;
    bool isFloat;
};

class FormatTest : public FilterTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, StreamsAtTempo) {
    const FormatCase p = GetParam();
    const WAVEFORMATEX wfx =
        WaveFormat(p.channels, 48000, p.bits, p.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
    // A 1 kHz tone at half scale in the format's own encoding.
    const size_t frames = 48000;
    std::vector<uint8_t> input(frames * wfx.nBlockAlign);
    for (size_t f = 0; f < frames; ++f) {
        const double x = 0.5 * std::sin(2.0 * M_PI * 1000.0 * f / 48000.0);
        for (int ch = 0; ch < p.channels; ++ch) {
            uint8_t* dst = &input[f * wfx.nBlockAlign + ch * (p.bits / 8)];
            if (p.isFloat) {
                const float v = static_cast<float>(x);
                std::memcpy(dst, &v, 4);
            } else if (p.bits == 8) {
                *dst = static_cast<uint8_t>(128 + std::lround(x * 127));
            } else {
                const int64_t v = std::llround(x * double((int64_t(1) << (p.bits - 1)) - 1));
                for (int b = 0; b < p.bits / 8; ++b)
                    dst[b] = static_cast<uint8_t>(uint64_t(v) >> (8 * b));
            }
        }
    }
    Chain c = BuildChain(AudioType(wfx, p.isFloat ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM),
                         std::make_unique<CPcmProvider>(wfx, input), 4800 * wfx.nBlockAlign);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    RunToEnd(c);
    const std::vector<uint8_t> out = Output(c);
    EXPECT_EQ(out.size() % wfx.nBlockAlign, 0u);
    EXPECT_NEAR(double(out.size()) / wfx.nAvgBytesPerSec, 1.0 / 1.5, 0.01);
    // The tone's level survives: the samples were read at their own width, not as 16-bit.
    double peak = 0;
    for (size_t i = out.size() / 4; i + wfx.nBlockAlign <= out.size(); i += wfx.nBlockAlign) {
        const uint8_t* src = &out[i - i % wfx.nBlockAlign];
        double x;
        if (p.isFloat) {
            float v;
            std::memcpy(&v, src, 4);
            x = v;
        } else if (p.bits == 8) {
            x = (int(*src) - 128) / 128.0;
        } else {
            int64_t v = 0;
            for (int b = 0; b < p.bits / 8; ++b)
                v |= int64_t(src[b]) << (8 * b);
            v = (v << (64 - p.bits)) >> (64 - p.bits); // sign-extend
            x = double(v) / double(int64_t(1) << (p.bits - 1));
        }
        peak = std::max(peak, std::fabs(x));
    }
    EXPECT_NEAR(peak, 0.5, 0.08);
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatTest,
                         ::testing::Values(FormatCase{8, 1, false}, FormatCase{16, 2, false},
                                           FormatCase{24, 2, false}, FormatCase{32, 2, false},
                                           FormatCase{32, 2, true}, FormatCase{16, 6, false}));

TEST_F(FilterTest, ExtremeSpeedsStream) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    // The corners of the speed envelope (each of tempo / 2^(pitch/12) and rate x 2^(pitch/12)
    // within 0.02..50).
    struct {
        double tempo, rate;
        int pitch;
    } cases[] = {{50.0, 50.0, 0}, {0.05, 0.05, 0}, {0.64, 1.56, 60}, {1.56, 0.64, -60}};
    for (const auto& k : cases) {
        // Slowed-down audio needs room: feed small inputs into full-size buffers.
        Chain c = BuildChain(AudioType(wfx),
                             std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 0.5), 400),
                             kBuffer100ms);
        ASSERT_HR(S_OK, c.prop->SetTempo(k.tempo));
        ASSERT_HR(S_OK, c.prop->SetRate(k.rate));
        ASSERT_HR(S_OK, c.prop->SetPitch(k.pitch));
        RunToEnd(c);
        for (const ReceivedSample& s : c.sink->Samples())
            EXPECT_LE(s.lActual, s.cbBuffer);
    }
}

TEST_F(FilterTest, ASampleCarryingTheStreamTypeIsPassedOnWithIt) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const CMediaType type = AudioType(wfx);
    const std::vector<uint8_t> input = Noise(kBuffer100ms * 4, 5);
    auto provider = std::make_unique<CChunkProvider>(wfx, input, kBuffer100ms,
                                                     [&type](int chunk, SourceChunk& c) {
                                                         if (chunk == 2)
                                                             c.pNewType = &type;
                                                     });
    Chain c = BuildChain(type, std::move(provider), kBuffer100ms);
    RunToEnd(c);
    EXPECT_EQ(Output(c), input) << "the stream goes on in the format the sample names";
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_EQ(out.size(), 4u);
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i].bTypeChanged, i == 2) << "sample " << i;
    EXPECT_TRUE(out[2].mediaType == type);
}

// ---- slowing down with inputs that fill every buffer ------------------------------------------

namespace {

// Mono 16 kHz keeps a minute of slowed-down audio cheap.
constexpr DWORD kSlowRate = 16000;
constexpr LONG kSlowBuffer = 1600 * 2; // 100 ms

// Checks the output of inputs of cbChunk bytes each (the last may be shorter): consecutive
// stamps join; the outputs of one input end exactly at its stop and share its span (and its
// media frames) in proportion to their bytes; and by each output's start, delivery has kept
// pace with the input, within the engine's latency and a few buffers (outputPerInput gives the
// output seconds per input second at an input time).
void ExpectOutputsShareTheirInputsSpan(const std::vector<ReceivedSample>& out,
                                       const WAVEFORMATEX& wfx, size_t cbInput, LONG cbChunk,
                                       const std::function<double(double)>& outputPerInput) {
    const LONGLONG chunkFrames = cbChunk / wfx.nBlockAlign;
    const LONGLONG inputFrames = static_cast<LONGLONG>(cbInput / wfx.nBlockAlign);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front().tStart, 0);
    EXPECT_EQ(out.front().mtStart, 0);
    size_t i = 0;
    double delivered = 0; // output seconds before out[i]
    double expected = 0;  // output seconds owed for the input before the current one
    for (LONGLONG first = 0; first < inputFrames && i < out.size(); first += chunkFrames) {
        const LONGLONG last = std::min(first + chunkFrames, inputFrames);
        const REFERENCE_TIME inStart = CPcmProvider::FrameTime(first, wfx.nSamplesPerSec);
        const REFERENCE_TIME inStop = CPcmProvider::FrameTime(last, wfx.nSamplesPerSec);
        const size_t begin = i;
        LONGLONG bytes = 0;
        while (i < out.size()) {
            bytes += out[i].lActual;
            const bool bLast = out[i++].tStop >= inStop;
            if (bLast)
                break;
        }
        ASSERT_GT(i, begin) << "no output for the input at " << first;
        ASSERT_EQ(out[i - 1].tStop, inStop)
            << "the outputs of the input at frame " << first << " end at its stop";
        ASSERT_EQ(out[i - 1].mtStop, last);
        const double span = double(inStop - inStart);
        const double frames = double(last - first);
        const double seconds = double(last - first) / wfx.nSamplesPerSec;
        const double allowance =
            0.25 * outputPerInput(double(first) / wfx.nSamplesPerSec) + 6 * 0.1;
        for (size_t k = begin; k < i; ++k) {
            ASSERT_TRUE(out[k].bTimeValid && out[k].bStopValid && out[k].bMediaTimeValid);
            if (k > 0) {
                ASSERT_EQ(out[k].tStart, out[k - 1].tStop) << "output " << k;
                ASSERT_EQ(out[k].mtStart, out[k - 1].mtStop) << "output " << k;
            }
            if (bytes > 0) {
                EXPECT_NEAR(double(out[k].tStop - out[k].tStart), span * out[k].lActual / bytes,
                            1.0)
                    << "output " << k;
                EXPECT_NEAR(double(out[k].mtStop - out[k].mtStart), frames * out[k].lActual / bytes,
                            1.0)
                    << "output " << k;
            }
            ASSERT_GE(delivered, expected - allowance)
                << "output " << k << ": delivery fell behind the input";
            delivered += double(out[k].lActual) / wfx.nAvgBytesPerSec;
        }
        expected += seconds * outputPerInput(double(first) / wfx.nSamplesPerSec);
    }
    EXPECT_EQ(out[i - 1].tStop, CPcmProvider::FrameTime(inputFrames, wfx.nSamplesPerSec));
}

} // namespace

class SlowFullBufferTest : public FilterTest, public ::testing::WithParamInterface<double> {};

TEST_P(SlowFullBufferTest, NothingIsLostAndOutputsShareTheInputsSpan) {
    const double tempo = GetParam();
    const WAVEFORMATEX wfx = WaveFormat(1, kSlowRate, 16);
    const double seconds = tempo < 0.1 ? 3.0 : 40.0; // either way past the ring's 30 s
    const std::vector<uint8_t> input = Sine16(1, kSlowRate, 440, seconds);
    // The plain source fills every buffer it is given.
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input), kSlowBuffer);
    ASSERT_HR(S_OK, c.prop->SetTempo(tempo));
    RunToEnd(c, 120000);
    const std::vector<ReceivedSample> out = c.sink->Samples();
    const std::vector<uint8_t> bytes = Output(c);
    EXPECT_NEAR(Seconds(bytes.size(), wfx), seconds / tempo, 0.002 * seconds / tempo);
    for (const ReceivedSample& s : out)
        ASSERT_LE(s.lActual, s.cbBuffer);
    const size_t inputs = (input.size() + kSlowBuffer - 1) / kSlowBuffer;
    // The stream's own outputs (the tail follows the last input's stop).
    std::vector<ReceivedSample> stream;
    for (const ReceivedSample& s : out)
        if (s.tStop <= CPcmProvider::FrameTime(LONGLONG(input.size() / 2), kSlowRate))
            stream.push_back(s);
    EXPECT_GE(stream.size(), inputs);
    ExpectOutputsShareTheirInputsSpan(stream, wfx, input.size(), kSlowBuffer,
                                      [tempo](double) { return 1 / tempo; });
}

INSTANTIATE_TEST_SUITE_P(Tempos, SlowFullBufferTest, ::testing::Values(0.05, 0.5));

TEST_F(FilterTest, ASlowDownMidStreamLosesNothingWithFullBuffers) {
    const WAVEFORMATEX wfx = WaveFormat(1, kSlowRate, 16);
    const std::vector<uint8_t> input = Sine16(1, kSlowRate, 440, 3.0);
    ComPtr<IVelomixProp> prop;
    auto hook = [&prop](int chunk, SourceChunk&) {
        if (chunk == 10)
            prop->SetTempo(0.05);
    };
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CChunkProvider>(wfx, input, kSlowBuffer, hook),
                   kSlowBuffer);
    prop = c.prop;
    ASSERT_HR(S_OK, c.prop->SetTempo(2.0));
    RunToEnd(c, 120000);
    // One second at tempo 2, two at 0.05; what the engine held at the change (about 0.1 s of
    // input) comes out at the new tempo, up to 2 s more.
    const double expected = 1.0 / 2.0 + 2.0 / 0.05;
    const std::vector<uint8_t> bytes = Output(c);
    EXPECT_GE(Seconds(bytes.size(), wfx), expected - 0.01 * expected);
    EXPECT_LE(Seconds(bytes.size(), wfx), expected + 0.1 / 0.05);
    std::vector<ReceivedSample> stream;
    for (const ReceivedSample& s : c.sink->Samples())
        if (s.tStop <= CPcmProvider::FrameTime(LONGLONG(input.size() / 2), kSlowRate))
            stream.push_back(s);
    ExpectOutputsShareTheirInputsSpan(stream, wfx, input.size(), kSlowBuffer,
                                      [](double t) { return t < 1.0 ? 0.5 : 20.0; });
}

// ---- the tail -----------------------------------------------------------------------------------

class LongTuningTailTest : public FilterTest, public ::testing::WithParamInterface<double> {};

TEST_P(LongTuningTailTest, TheTailIsDeliveredWhole) {
    const double tempo = GetParam();
    // The longest tuning the settings file takes: the engine holds seconds of audio at the end.
    WriteSettings("[SPEED]\n1.0=1000,1000,1000\n2.0=1000,1000,1000\n");
    const WAVEFORMATEX wfx = WaveFormat(1, kRate, 16);
    const double seconds = 10.0;
    const std::vector<uint8_t> input = Sine16(1, kRate, 440, seconds);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, input), 4410 * 2);
    ASSERT_HR(S_OK, c.prop->SetTempo(tempo));
    RunToEnd(c, 120000);
    const size_t frames = Output(c).size() / wfx.nBlockAlign;
    const double expected = double(input.size() / wfx.nBlockAlign) / tempo;
    EXPECT_NEAR(double(frames), expected, 2.0) << "frames out of " << input.size() / 2 << " in";
    EXPECT_EQ(c.sink->EventNames().back(), "eos");
}

INSTANTIATE_TEST_SUITE_P(Tempos, LongTuningTailTest, ::testing::Values(0.5, 50.0));
