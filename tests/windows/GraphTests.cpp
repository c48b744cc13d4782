// The filter in the platform's own graph manager: the platform's file source and wave parser
// in front of it, the tests' capture sink behind it, each added and connected pin to pin so the
// graph is the same on every run, then run to completion through IMediaControl and IMediaEvent.
#include "CaptureSink.h"
#include "Harness.h"
#include "IVelomixProp.h"
#include "Support.h"

#include <cmath>
#include <cstring>

namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

struct Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IBaseFilter> source;
    ComPtr<IBaseFilter> parser;
    ComPtr<IBaseFilter> filter;
    ComPtr<CCaptureSink> sink;
    ComPtr<IVelomixProp> prop;
};

ComPtr<IBaseFilter> CreatePlatformFilter(REFCLSID clsid) {
    ComPtr<IBaseFilter> p;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&p))))
        return {};
    return p;
}

// file source -> wave parser -> Velomix -> capture sink, connected and stopped.
Graph BuildGraph(const CModule& module, const std::wstring& wavPath) {
    Graph g;
    REQUIRE_HR(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(&g.builder)));
    REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&g.control)));
    REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&g.events)));

    g.source = CreatePlatformFilter(CLSID_AsyncReader);
    REQUIRE(g.source, "the platform's file source is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.source.Get(), L"Source"));
    ComPtr<IFileSourceFilter> pFile;
    REQUIRE_HR(S_OK, g.source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&pFile)));
    REQUIRE_HR(S_OK, pFile->Load(wavPath.c_str(), nullptr));

    g.parser = CreatePlatformFilter(kClsidWaveParser);
    REQUIRE(g.parser, "the platform's wave parser is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.parser.Get(), L"Wave Parser"));

    HRESULT hr = S_OK;
    g.filter = module.CreateFilter(&hr);
    REQUIRE(g.filter, "Velomix is created through DllGetClassObject: %s", vmxtest::Hex(hr).c_str());
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.filter.Get(), L"Velomix"));
    REQUIRE_HR(S_OK, g.filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&g.prop)));

    g.sink = CCaptureSink::Create();
    REQUIRE(g.sink, "the capture sink is created");
    REQUIRE_HR(S_OK, g.builder->AddFilter(g.sink.Get(), L"Capture"));

    ComPtr<IPin> pSourceOut = FindPinByDirection(g.source.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> pParserIn = FindPinByDirection(g.parser.Get(), PINDIR_INPUT);
    REQUIRE(pSourceOut && pParserIn, "source output and parser input pins");
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pSourceOut.Get(), pParserIn.Get(), nullptr));
    // The parser makes its output pin once it has read the file's header.
    ComPtr<IPin> pParserOut = FindPinByDirection(g.parser.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> pIn = FindPinById(g.filter.Get(), L"In");
    ComPtr<IPin> pOut = FindPinById(g.filter.Get(), L"Out");
    ComPtr<IPin> pCapture = FindPinById(g.sink.Get(), L"Capture");
    REQUIRE(pParserOut && pIn && pOut && pCapture, "parser output, Velomix and capture pins");
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pParserOut.Get(), pIn.Get(), nullptr));
    REQUIRE_HR(S_OK, g.builder->ConnectDirect(pOut.Get(), pCapture.Get(), nullptr));
    return g;
}

void RunToCompletion(Graph& g) {
    REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
    long code = 0;
    const HRESULT hr = g.events->WaitForCompletion(30000, &code);
    REQUIRE(hr == S_OK && code == EC_COMPLETE, "the graph completes: WaitForCompletion %s, event %ld",
            vmxtest::Hex(hr).c_str(), code);
}

// Stops and takes the graph apart; then the test's reference to the filter must be its last.
void TearDown(Graph& g) {
    if (g.control)
        CHECK_HR(S_OK, g.control->Stop());
    g.prop.Reset();
    g.control.Reset();
    g.events.Reset();
    g.source.Reset();
    g.parser.Reset();
    g.sink.Reset();
    g.builder.Reset();
    if (g.filter) {
        const ULONG remaining = g.filter.Detach()->Release();
        CHECK(remaining == 0, "the graph gave back every reference to Velomix: %lu left",
              static_cast<unsigned long>(remaining));
    }
}

double Seconds(size_t bytes, const WAVEFORMATEX& wfx) {
    return static_cast<double>(bytes) / wfx.nAvgBytesPerSec;
}

} // namespace

VMX_TEST(graph, normal_speed_is_bit_exact) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    CTempFolder temp;
    const std::wstring path = temp.File(L"index.wav");
    // An odd number of frames: the last buffer is a short one.
    const PcmAudio audio = IndexSignal(2 * 44100 + 123);
    REQUIRE(WriteWav(path, audio), "the test file is written");
    {
        Graph g = BuildGraph(module, path);
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();

        CHECK(log.wfx.nChannels == 2 && log.wfx.nSamplesPerSec == 44100 && log.wfx.wBitsPerSample == 16,
              "the sink got the file's format, got %u ch %lu Hz %u bit", log.wfx.nChannels,
              log.wfx.nSamplesPerSec, log.wfx.wBitsPerSample);
        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        CHECK(log.flushes.empty(), "no flush without a seek");
        CHECK(log.bytes.size() == audio.data.size(), "captured %u bytes, the file has %u",
              static_cast<unsigned>(log.bytes.size()), static_cast<unsigned>(audio.data.size()));
        const size_t n = std::min(log.bytes.size(), audio.data.size());
        const auto mismatch = std::mismatch(log.bytes.begin(), log.bytes.begin() + n, audio.data.begin());
        CHECK(mismatch.first == log.bytes.begin() + n, "bytes equal the file's; first difference at byte %u",
              static_cast<unsigned>(mismatch.first - log.bytes.begin()));

        // Time stamps are the parser's, unchanged: each sample starts at its byte offset's time.
        size_t stamped = 0;
        for (const CaptureLog::Sample& s : log.samples) {
            if (!s.timeValid)
                continue;
            ++stamped;
            const REFERENCE_TIME expected =
                static_cast<REFERENCE_TIME>(s.offset) * kUnitsPerSecond / audio.wfx.nAvgBytesPerSec;
            const REFERENCE_TIME expectedStop =
                static_cast<REFERENCE_TIME>(s.offset + s.length) * kUnitsPerSecond / audio.wfx.nAvgBytesPerSec;
            if (s.tStart != expected || s.tStop != expectedStop) {
                CHECK(false, "sample at byte %u stamped %lld-%lld, its place in the file is %lld-%lld",
                      static_cast<unsigned>(s.offset), static_cast<long long>(s.tStart),
                      static_cast<long long>(s.tStop), static_cast<long long>(expected),
                      static_cast<long long>(expectedStop));
                break;
            }
        }
        CHECK(stamped == log.samples.size() && stamped > 1, "every sample carries time stamps (%u of %u)",
              static_cast<unsigned>(stamped), static_cast<unsigned>(log.samples.size()));
        TearDown(g);
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}

VMX_TEST(graph, tempo_1_5_shortens_and_keeps_pitch) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    CTempFolder temp;
    const std::wstring path = temp.File(L"sine.wav");
    const PcmAudio audio = SineSignal(3 * 44100, 440.0);
    REQUIRE(WriteWav(path, audio), "the test file is written");
    {
        Graph g = BuildGraph(module, path);
        REQUIRE_HR(S_OK, g.prop->SetTempo(1.5));
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();

        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        const double expected = static_cast<double>(audio.data.size()) / 1.5;
        const double ratio = static_cast<double>(log.bytes.size()) / expected;
        CHECK(std::fabs(ratio - 1.0) <= 0.01, "output is input/1.5 within 1%%: %u bytes for %.0f expected (%.4f)",
              static_cast<unsigned>(log.bytes.size()), expected, ratio);
        CHECK(log.bytes.size() % audio.wfx.nBlockAlign == 0, "whole frames only");

        // Pitch kept: as many zero crossings per second as the input has.
        const size_t inFrames = audio.Frames();
        const size_t outFrames = log.bytes.size() / audio.wfx.nBlockAlign;
        REQUIRE(outFrames > 44100, "at least a second of output");
        const double inRate = ZeroCrossings(audio.data.data(), inFrames, audio.wfx) / Seconds(audio.data.size(), audio.wfx);
        const double outRate = ZeroCrossings(log.bytes.data(), outFrames, audio.wfx) / Seconds(log.bytes.size(), audio.wfx);
        CHECK(std::fabs(outRate / inRate - 1.0) <= 0.02, "pitch kept: %.1f crossings/s out, %.1f in", outRate, inRate);
        TearDown(g);
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}

VMX_TEST(graph, seek_while_running_reaches_upstream_and_drops_old_audio) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    CTempFolder temp;
    const std::wstring path = temp.File(L"two-tones.wav");
    // 440 Hz for the first 2.5 s, 1760 Hz after: audio from before the seek point is told
    // apart from audio after it by its crossing count, even after time-stretching.
    const size_t frames = 5 * 44100;
    const PcmAudio audio = SineSignal(frames, 440.0, 1760.0, frames / 2);
    REQUIRE(WriteWav(path, audio), "the test file is written");
    constexpr REFERENCE_TIME kSeekTo = 3 * kUnitsPerSecond;
    {
        Graph g = BuildGraph(module, path);
        // At tempo 1.5 the engine holds audio of its own: a flush must drop it.
        REQUIRE_HR(S_OK, g.prop->SetTempo(1.5));
        g.sink->CloseGateAt(audio.wfx.nAvgBytesPerSec / 2);
        REQUIRE(SUCCEEDED(g.control->Run()), "IMediaControl::Run");
        REQUIRE(WaitForSingleObject(g.sink->HeldEvent(), 20000) == WAIT_OBJECT_0,
                "half a second of output arrives");

        ComPtr<IMediaSeeking> pSeeking;
        REQUIRE_HR(S_OK, g.builder->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&pSeeking)));
        LONGLONG duration = 0;
        CHECK_HR(S_OK, pSeeking->GetDuration(&duration));
        CHECK(duration == 5 * kUnitsPerSecond, "the graph reports the file's duration, unscaled: %lld",
              static_cast<long long>(duration));
        LONGLONG position = kSeekTo;
        REQUIRE_HR(S_OK, pSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                                AM_SEEKING_NoPositioning));
        long code = 0;
        const HRESULT hr = g.events->WaitForCompletion(30000, &code);
        REQUIRE(hr == S_OK && code == EC_COMPLETE, "the graph completes after the seek: %s, event %ld",
                vmxtest::Hex(hr).c_str(), code);
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
        const size_t before = ZeroCrossings(log.bytes.data() + flushAt - 2 * blockBytes, 2 * blockFrames, wfx);
        CHECK(before <= 24, "before the seek the tone is 440 Hz: %u crossings in 20 ms", static_cast<unsigned>(before));

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
                CHECK(false, "10 ms block at %.3f s after the seek has %u crossings: audio from before the seek",
                      Seconds(at - flushAt, wfx), static_cast<unsigned>(crossings));
                break;
            }
        }
        CHECK(audible > 100, "most of the output after the seek is audible: %u blocks", static_cast<unsigned>(audible));
        pSeeking.Reset();
        TearDown(g);
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}

VMX_TEST(graph, slowing_down_with_the_parsers_buffers_loses_nothing) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    CTempFolder temp;
    const std::wstring path = temp.File(L"slow.wav");
    // The parser sends 40 ms of audio in buffers of nearly a second (the output buffers are as
    // large): at tempo 0.05 and rate 0.5 every input yields about two buffers of output, and
    // three seconds of input make two minutes, four times the processor's ring.
    const PcmAudio audio = SineSignal(3 * 44100, 440.0);
    REQUIRE(WriteWav(path, audio), "the test file is written");
    {
        Graph g = BuildGraph(module, path);
        REQUIRE_HR(S_OK, g.prop->SetTempo(0.05));
        REQUIRE_HR(S_OK, g.prop->SetRate(0.5));
        RunToCompletion(g);
        const CaptureLog log = g.sink->Log();
        CHECK(log.endOfStreams == 1, "one end of stream, got %d", log.endOfStreams);
        const double expected = static_cast<double>(audio.data.size()) / (0.05 * 0.5);
        const double ratio = static_cast<double>(log.bytes.size()) / expected;
        CHECK(std::fabs(ratio - 1.0) <= 0.01, "output is input/0.025 within 1%%: %u bytes for %.0f expected (%.4f)",
              static_cast<unsigned>(log.bytes.size()), expected, ratio);
        CHECK(log.bytes.size() % audio.wfx.nBlockAlign == 0, "whole frames only");
        TearDown(g);
    }
    CHECK_HR(S_OK, module.CanUnloadNow());
}
