// Speed changes while the audio plays, on the real module in the platform's graph manager: the
// tests' source pushes a chirp, then the click tones, in 100 ms samples from the case's thread and
// sets the speed through IVelomixProp between two of them; the capture sink keeps what comes out.
// The figures are the native listening tests' (tests/common/Listening.h): nothing dropped or
// repeated beyond 5 ms, no step above 1.5 times the steady ones, the length by the speeds, the
// stamps as RESTAMP says, and back at normal speed the input again within a second. Each case
// prints its figures.
#include "Graphs.h"
#include "Harness.h"
#include "SampleSource.h"
#include "common/Listening.h"

#include <cstdio>

using namespace listening;

namespace {

constexpr double kMaxSpliceMs = 5;
constexpr double kMaxStepRatio = 1.5;
constexpr double kMaxCopyAfterMs = 1000;

CMediaType TypeOf(const Format& f) {
    const WAVEFORMATEX wfx = WaveFormat(WORD(f.channels), DWORD(f.rate), WORD(f.Bits()),
                                        f.IsFloat() ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
    return AudioType(wfx, f.IsFloat() ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM);
}

void SetSpeed(IVelomixProp* pProp, const SpeedSetting& s) {
    REQUIRE_HR(S_OK, pProp->SetTempo(s.tempo));
    REQUIRE_HR(S_OK, pProp->SetRate(s.rate));
    REQUIRE_HR(S_OK, pProp->SetPitch(s.pitch));
}

// source -> Velomix -> capture sink, the input pushed in samples from this thread with the change
// made before its sample; what the sink kept.
Recording Play(const CModule& module, const ChangeCase& c, const std::vector<uint8_t>& input) {
    const size_t block = size_t(c.format.BlockAlign());
    const size_t sampleBytes = c.SampleFrames() * block;
    SourceGraph g =
        RunSourceGraph(module, TypeOf(c.format), LONG(sampleBytes),
                       [&c](SourceGraph& graph) { SetSpeed(graph.prop.Get(), c.from); });
    Recording r;
    const int rate = c.format.rate;
    const size_t frames = input.size() / block;
    REQUIRE_HR(S_OK, g.source->NewSegment(FramesToUnits(int64_t(frames), rate)));
    for (size_t k = 0, first = 0; first < frames; ++k, first += c.SampleFrames()) {
        if (k == c.ChangeSample()) {
            r.framesAtChange = g.sink->Log().bytes.size() / block;
            SetSpeed(g.prop.Get(), c.to);
        }
        const size_t n = std::min(c.SampleFrames(), frames - first);
        REQUIRE_HR(S_OK, g.source->Push(input.data() + first * block, LONG(n * block),
                                        FramesToUnits(int64_t(first), rate),
                                        FramesToUnits(int64_t(first + n), rate), LONGLONG(first),
                                        LONGLONG(first + n), k == 0));
    }
    REQUIRE_HR(S_OK, g.source->EndOfStream());
    const CaptureLog log = CompleteSourceGraph(g);
    r.bytes = log.bytes;
    for (const CaptureLog::Sample& s : log.samples)
        r.samples.push_back(
            {s.timeValid ? Span{s.tStart, s.tStop} : Span{-1, -1}, s.offset, s.length});
    return r;
}

void CheckChange(const SpeedSetting& from, const SpeedSetting& to, bool bRestamp) {
    CSettingsFile ini(bRestamp ? "[INIT]\r\nRESTAMP=1\r\n" : nullptr);
    ChangeCase c;
    c.from = from;
    c.to = to;
    c.format = Format{SampleType::S16, 2, 44100};
    c.sampleSeconds = 0.1;
    Recording chirp, tones;
    WithModule([&](const CModule& module) {
        chirp = Play(module, c, c.ChirpInput());
        tones = Play(module, c, c.ToneInput());
    });
    const ChangeFigures f = FiguresOfChange(c, chirp, tones, bRestamp);
    const std::string name = from.Name() + " -> " + to.Name();
    REQUIRE(f.error.empty(), "%s: %s", name.c_str(), f.error.c_str());
    char exact[32] = "-";
    if (to.IsNormal())
        std::snprintf(exact, sizeof(exact), "%.1f", f.bitExactAfterMs);
    std::printf("  %s: dropped %.1f ms, repeated %.1f ms, step %.2fx, length %+.1f ms (allowed "
                "%+.0f..%+.0f), bit-exact after %s ms\n",
                name.c_str(), f.splice.droppedMs, f.splice.repeatedMs, f.step.ratio,
                f.lengthErrorMs, (f.length.low - f.length.nominal) * 1000,
                (f.length.high - f.length.nominal) * 1000, exact);
    std::fflush(stdout);
    CHECK(f.splice.droppedMs <= kMaxSpliceMs,
          "%s: %.1f ms of input dropped at the change, bound %.1f ms (splices jitter by %.1f ms)",
          name.c_str(), f.splice.droppedMs, kMaxSpliceMs, f.splice.jitterMs);
    CHECK(f.splice.repeatedMs <= kMaxSpliceMs,
          "%s: %.1f ms of input repeated at the change, bound %.1f ms (splices jitter by %.1f ms)",
          name.c_str(), f.splice.repeatedMs, kMaxSpliceMs, f.splice.jitterMs);
    CHECK(f.step.ratio <= kMaxStepRatio,
          "%s: a step of %.2f times the steady ones at output second %.4f, bound %.1f",
          name.c_str(), f.step.ratio, f.step.atSecond, kMaxStepRatio);
    CHECK(f.outputSeconds >= f.length.low && f.outputSeconds <= f.length.high,
          "%s: %.4f s of output, %.4f to %.4f s expected (%.4f s by the speeds)", name.c_str(),
          f.outputSeconds, f.length.low, f.length.high, f.length.nominal);
    CHECK(f.firstBadStamp == f.outputCount, "%s: output %lu of %lu %s", name.c_str(),
          static_cast<unsigned long>(f.firstBadStamp), static_cast<unsigned long>(f.outputCount),
          bRestamp ? "does not start where the one before stopped"
                   : "lies outside its input's time span");
    if (!to.IsNormal())
        return;
    CHECK(f.bitExactAfterMs >= 0 && f.bitExactAfterMs <= kMaxCopyAfterMs,
          "%s: the output became the input's bytes again %.1f ms after the change (-1: never), "
          "bound %.0f ms",
          name.c_str(), f.bitExactAfterMs, kMaxCopyAfterMs);
    if (!bRestamp)
        CHECK(f.exactCopiesAfterMs >= 0 && f.exactCopiesAfterMs <= kMaxCopyAfterMs,
              "%s: the outputs became the inputs again, bytes and stamps, %.1f ms after the "
              "change (-1: never), bound %.0f ms",
              name.c_str(), f.exactCopiesAfterMs, kMaxCopyAfterMs);
}

const SpeedSetting kNormal{1, 1, 0};

} // namespace

VMX_TEST(listening, NormalToTempo1_5) {
    CheckChange(kNormal, {1.5, 1, 0}, false);
}
VMX_TEST(listening, NormalToTempo0_5) {
    CheckChange(kNormal, {0.5, 1, 0}, false);
}
VMX_TEST(listening, Tempo1_5ToTempo0_75) {
    CheckChange({1.5, 1, 0}, {0.75, 1, 0}, false);
}
VMX_TEST(listening, Tempo2ToTempo0_75) {
    CheckChange({2, 1, 0}, {0.75, 1, 0}, false);
}
VMX_TEST(listening, NormalToRate1_2) {
    CheckChange(kNormal, {1, 1.2, 0}, false);
}
VMX_TEST(listening, NormalToPitchUp3) {
    CheckChange(kNormal, {1, 1, 3}, false);
}
VMX_TEST(listening, Tempo1_5ToNormal) {
    CheckChange({1.5, 1, 0}, kNormal, false);
}
VMX_TEST(listening, Tempo0_5ToNormal) {
    CheckChange({0.5, 1, 0}, kNormal, false);
}
VMX_TEST(listening, Rate1_2ToNormal) {
    CheckChange({1, 1.2, 0}, kNormal, false);
}
VMX_TEST(listening, PitchUp3ToNormal) {
    CheckChange({1, 1, 3}, kNormal, false);
}
VMX_TEST(listening, Tempo0_75ToTempo2) {
    CheckChange({0.75, 1, 0}, {2, 1, 0}, false);
}
VMX_TEST(listening, Tempo1_25PitchDown2ToTempo0_8Rate1_1) {
    CheckChange({1.25, 1, -2}, {0.8, 1.1, 0}, false);
}

// RESTAMP=1: the same changes, the outputs stamped by their audio.
VMX_TEST(listening_restamped, NormalToTempo1_5) {
    CheckChange(kNormal, {1.5, 1, 0}, true);
}
VMX_TEST(listening_restamped, Tempo1_5ToTempo0_75) {
    CheckChange({1.5, 1, 0}, {0.75, 1, 0}, true);
}
VMX_TEST(listening_restamped, NormalToPitchUp3) {
    CheckChange(kNormal, {1, 1, 3}, true);
}
VMX_TEST(listening_restamped, Tempo1_5ToNormal) {
    CheckChange({1.5, 1, 0}, kNormal, true);
}
VMX_TEST(listening_restamped, Tempo0_75ToTempo2) {
    CheckChange({0.75, 1, 0}, {2, 1, 0}, true);
}
