// The filter in the platform's own graph manager: the platform's file source and wave parser
// in front of it, the tests' capture sink behind it, each added and connected pin to pin so the
// graph is the same on every run, then run to completion through IMediaControl and IMediaEvent.
#include "Graphs.h"
#include "Harness.h"

#include <cmath>
#include <cstring>

namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

double Seconds(size_t bytes, const WAVEFORMATEX& wfx) {
    return static_cast<double>(bytes) / wfx.nAvgBytesPerSec;
}

// The case's body on a graph over a WAV file of the audio, built with a new filter; the graph is
// taken apart after it, and the module must then be free to unload.
template <typename Body> void WithGraph(const wchar_t* name, const PcmAudio& audio, Body&& body) {
    WithModule([&](const CModule& module) {
        CTempFolder temp;
        CaptureGraph g = BuildCaptureGraph(module, RequireWav(temp, name, audio));
        body(g);
        TearDown(g);
    });
}

} // namespace

VMX_TEST(graph, normal_speed_is_bit_exact) {
    // An odd number of frames: the last buffer is a short one.
    const PcmAudio audio = IndexSignal(2 * 44100 + 123);
    WithGraph(L"index.wav", audio, [&](CaptureGraph& g) {
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();

        CHECK(log.wfx.nChannels == 2 && log.wfx.nSamplesPerSec == 44100 &&
                  log.wfx.wBitsPerSample == 16,
              "the sink got the file's format, got %u ch %lu Hz %u bit", log.wfx.nChannels,
              log.wfx.nSamplesPerSec, log.wfx.wBitsPerSample);
        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        CHECK(log.flushes.empty(), "no flush without a seek");
        CHECK(log.bytes.size() == audio.data.size(), "captured %u bytes, the file has %u",
              static_cast<unsigned>(log.bytes.size()), static_cast<unsigned>(audio.data.size()));
        const size_t n = std::min(log.bytes.size(), audio.data.size());
        const auto mismatch =
            std::mismatch(log.bytes.begin(), log.bytes.begin() + n, audio.data.begin());
        CHECK(mismatch.first == log.bytes.begin() + n,
              "bytes equal the file's; first difference at byte %u",
              static_cast<unsigned>(mismatch.first - log.bytes.begin()));

        // Time stamps are the parser's, unchanged: each sample starts at its byte offset's time.
        size_t stamped = 0;
        for (const CaptureLog::Sample& s : log.samples) {
            if (!s.timeValid)
                continue;
            ++stamped;
            const REFERENCE_TIME expected =
                static_cast<REFERENCE_TIME>(s.offset) * kUnitsPerSecond / audio.wfx.nAvgBytesPerSec;
            const REFERENCE_TIME expectedStop = static_cast<REFERENCE_TIME>(s.offset + s.length) *
                                                kUnitsPerSecond / audio.wfx.nAvgBytesPerSec;
            if (s.tStart != expected || s.tStop != expectedStop) {
                CHECK(false,
                      "sample at byte %u stamped %lld-%lld, its place in the file is %lld-%lld",
                      static_cast<unsigned>(s.offset), static_cast<long long>(s.tStart),
                      static_cast<long long>(s.tStop), static_cast<long long>(expected),
                      static_cast<long long>(expectedStop));
                break;
            }
        }
        CHECK(stamped == log.samples.size() && stamped > 1,
              "every sample carries time stamps (%u of %u)", static_cast<unsigned>(stamped),
              static_cast<unsigned>(log.samples.size()));
    });
}

VMX_TEST(graph, tempo_1_5_shortens_and_keeps_pitch) {
    const PcmAudio audio = SineSignal(3 * 44100, 440.0);
    WithGraph(L"sine.wav", audio, [&](CaptureGraph& g) {
        REQUIRE_HR(S_OK, g.prop->SetTempo(1.5));
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();

        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        const double expected = static_cast<double>(audio.data.size()) / 1.5;
        const double ratio = static_cast<double>(log.bytes.size()) / expected;
        CHECK(std::fabs(ratio - 1.0) <= 0.01,
              "output is input/1.5 within 1%%: %u bytes for %.0f expected (%.4f)",
              static_cast<unsigned>(log.bytes.size()), expected, ratio);
        CHECK(log.bytes.size() % audio.wfx.nBlockAlign == 0, "whole frames only");

        // Pitch kept: as many zero crossings per second as the input has.
        const size_t inFrames = audio.Frames();
        const size_t outFrames = log.bytes.size() / audio.wfx.nBlockAlign;
        REQUIRE(outFrames > 44100, "at least a second of output");
        const double inRate = ZeroCrossings(audio.data.data(), inFrames, audio.wfx) /
                              Seconds(audio.data.size(), audio.wfx);
        const double outRate = ZeroCrossings(log.bytes.data(), outFrames, audio.wfx) /
                               Seconds(log.bytes.size(), audio.wfx);
        CHECK(std::fabs(outRate / inRate - 1.0) <= 0.02,
              "pitch kept: %.1f crossings/s out, %.1f in", outRate, inRate);
    });
}

VMX_TEST(graph, seek_while_running_reaches_upstream_and_drops_old_audio) {
    // 440 Hz for the first 2.5 s, 1760 Hz after: audio from before the seek point is told
    // apart from audio after it by its crossing count, even after time-stretching.
    const size_t frames = 5 * 44100;
    const PcmAudio audio = SineSignal(frames, 440.0, 1760.0, frames / 2);
    constexpr REFERENCE_TIME kSeekTo = 3 * kUnitsPerSecond;
    WithGraph(L"two-tones.wav", audio, [&](CaptureGraph& g) {
        // At tempo 1.5 the engine holds audio of its own: a flush must drop it.
        REQUIRE_HR(S_OK, g.prop->SetTempo(1.5));
        g.sink->CloseGateAt(audio.wfx.nAvgBytesPerSec / 2);
        REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
        REQUIRE(WaitForSingleObject(g.sink->HeldEvent(), 20000) == WAIT_OBJECT_0,
                "half a second of output arrives");

        ComPtr<IMediaSeeking> pSeeking;
        REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaSeeking,
                                                   reinterpret_cast<void**>(&pSeeking)));
        LONGLONG duration = 0;
        CHECK_HR(S_OK, pSeeking->GetDuration(&duration));
        CHECK(duration == 5 * kUnitsPerSecond,
              "the graph reports the file's duration, unscaled: %lld",
              static_cast<long long>(duration));
        LONGLONG position = kSeekTo;
        REQUIRE_HR(S_OK, pSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                                AM_SEEKING_NoPositioning));
        // The graph completes after the seek.
        RequireCompletion(g.events.Get());
        const CaptureLog log = g.sink->Log();

        REQUIRE(!log.flushes.empty(), "the seek flushed the stream down to the sink");
        const size_t flushAt = log.flushes.back();
        // The parser starts its new segment where the graph was asked to go: the position went
        // upstream through Velomix unchanged.
        bool segmentFound = false;
        for (const CaptureLog::Segment& s : log.segments) {
            if (s.offset >= flushAt) {
                segmentFound = true;
                CHECK(s.tStart == kSeekTo, "new segment starts at %lld, the seek asked for %lld",
                      static_cast<long long>(s.tStart), static_cast<long long>(kSeekTo));
                CHECK(s.rate == 1.0, "segment rate 1.0, got %g", s.rate);
            }
        }
        CHECK(segmentFound, "a new segment follows the flush");

        // What came before the flush is 440 Hz: the check below would see old audio.
        const WAVEFORMATEX& wfx = audio.wfx;
        const size_t blockFrames = wfx.nSamplesPerSec / 100;
        const size_t blockBytes = blockFrames * wfx.nBlockAlign;
        REQUIRE(flushAt >= 2 * blockBytes, "some output before the seek");
        const size_t before =
            ZeroCrossings(log.bytes.data() + flushAt - 2 * blockBytes, 2 * blockFrames, wfx);
        CHECK(before <= 24, "before the seek the tone is 440 Hz: %u crossings in 20 ms",
              static_cast<unsigned>(before));

        // After the flush only the 1760 Hz tone: every audible 10 ms block crosses zero about
        // 35 times; a block holding 440 Hz audio from before the seek would cross far fewer.
        const size_t after = log.bytes.size() - flushAt;
        const double expectedAfter = (5.0 - 3.0) / 1.5 * wfx.nAvgBytesPerSec;
        CHECK(std::fabs(after / expectedAfter - 1.0) <= 0.02,
              "after the seek the rest of the file at tempo 1.5: %u bytes, %.0f expected",
              static_cast<unsigned>(after), expectedAfter);
        size_t audible = 0;
        for (size_t at = flushAt; at + blockBytes <= log.bytes.size(); at += blockBytes) {
            double energy = 0;
            for (size_t f = 0; f < blockFrames; ++f) {
                const uint8_t* p = &log.bytes[at + f * wfx.nBlockAlign];
                const double v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
                energy += v * v;
            }
            if (std::sqrt(energy / blockFrames) < 2000)
                continue; // the engine's fade-in after a flush
            ++audible;
            const size_t crossings = ZeroCrossings(&log.bytes[at], blockFrames, wfx);
            if (crossings < 28) {
                CHECK(false,
                      "10 ms block at %.3f s after the seek has %u crossings: audio from before "
                      "the seek",
                      Seconds(at - flushAt, wfx), static_cast<unsigned>(crossings));
                break;
            }
        }
        CHECK(audible > 100, "most of the output after the seek is audible: %u blocks",
              static_cast<unsigned>(audible));
        pSeeking.Reset();
    });
}

VMX_TEST(graph, slowing_down_with_the_parsers_buffers_loses_nothing) {
    // The parser sends 40 ms of audio in buffers of nearly a second (the output buffers are as
    // large): at tempo 0.05 and rate 0.5 every input yields about two buffers of output, and
    // three seconds of input make two minutes, four times the processor's ring.
    const PcmAudio audio = SineSignal(3 * 44100, 440.0);
    WithGraph(L"slow.wav", audio, [&](CaptureGraph& g) {
        REQUIRE_HR(S_OK, g.prop->SetTempo(0.05));
        REQUIRE_HR(S_OK, g.prop->SetRate(0.5));
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();
        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        const double expected = static_cast<double>(audio.data.size()) / (0.05 * 0.5);
        const double ratio = static_cast<double>(log.bytes.size()) / expected;
        CHECK(std::fabs(ratio - 1.0) <= 0.01,
              "output is input/0.025 within 1%%: %u bytes for %.0f expected (%.4f)",
              static_cast<unsigned>(log.bytes.size()), expected, ratio);
        CHECK(log.bytes.size() % audio.wfx.nBlockAlign == 0, "whole frames only");
    });
}
