// Playing at speed in the platform's own graph, in real time, as a player does: the module is
// registered, RenderFile inserts Velomix before the DirectSound renderer (the null ALSA device
// under Wine), and the platform's sample grabbers before and after Velomix record what goes in
// and what reaches the renderer, with the wall time. The settings file decides the stamps:
// RESTAMP=1 stamps outputs by their audio, so the renderer plays at the speed set; without it
// outputs keep their inputs' time span and the renderer keeps the file's pace.
#include "Graphs.h"
#include "Harness.h"
#include "Sync.h"

#include <qedit.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// {C1F400A0-3F08-11D3-9F0B-006008039E37}
VMX_DEFINE_GUID(kClsidSampleGrabber, 0xC1F400A0, 0x3F08, 0x11D3, 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03,
                0x9E, 0x37);
// {6B652FFF-11FE-4FCE-92AD-0266B5D7C78F}
VMX_DEFINE_GUID(kIidSampleGrabber, 0x6B652FFF, 0x11FE, 0x4FCE, 0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7,
                0xC7, 0x8F);
// {0579154A-2B53-4994-B0D0-E773148EFF85}
VMX_DEFINE_GUID(kIidSampleGrabberCB, 0x0579154A, 0x2B53, 0x4994, 0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E,
                0xFF, 0x85);

constexpr REFERENCE_TIME kUnits = 10000000; // 100 ns units per second
// How far EC_COMPLETE may fall from the end of the audio, in seconds. Measured under Wine 8 with
// the null ALSA device, both architectures side by side: within 0.15 s either way; audio that
// keeps its input's stamps misses by a quarter of the file or more.
constexpr double kWallTolerance = 0.4;

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(f.QuadPart);
}

double Sec(REFERENCE_TIME t) {
    return double(t) / kUnits;
}

struct Stamp {
    bool bTime = false;
    REFERENCE_TIME tStart = 0, tStop = 0;
    bool bMediaTime = false;
    LONGLONG mtStart = 0, mtStop = 0;
    LONG cb = 0;
    bool bDiscontinuity = false;
};

// The grabber's callback: records every sample's stamps, and signals an event once a sample
// stops at or past a given time. Lives on the test's stack, longer than the graph.
class CTap final : public ISampleGrabberCB {
public:
    CTap() : m_evReached(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidSampleGrabberCB)) {
            *ppv = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* pSample) override {
        Stamp s;
        s.bTime = pSample->GetTime(&s.tStart, &s.tStop) == S_OK;
        s.bMediaTime = pSample->GetMediaTime(&s.mtStart, &s.mtStop) == S_OK;
        s.cb = pSample->GetActualDataLength();
        s.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
        CAutoLock lock(&m_cs);
        m_Stamps.push_back(s);
        if (s.bTime && m_tSignal >= 0 && s.tStop >= m_tSignal)
            SetEvent(m_evReached.Get());
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, LONG) override { return S_OK; }

    std::vector<Stamp> Stamps() {
        CAutoLock lock(&m_cs);
        return m_Stamps;
    }
    // The stop of the last sample so far (0 before any).
    REFERENCE_TIME LastStop() {
        CAutoLock lock(&m_cs);
        return m_Stamps.empty() ? 0 : m_Stamps.back().tStop;
    }
    // Waits until a sample stops at or past t; false after timeoutMs.
    bool WaitForStop(REFERENCE_TIME t, DWORD timeoutMs) {
        {
            CAutoLock lock(&m_cs);
            ResetEvent(m_evReached.Get());
            m_tSignal = t;
            for (const Stamp& s : m_Stamps)
                if (s.bTime && s.tStop >= t)
                    SetEvent(m_evReached.Get());
        }
        return WaitForSingleObject(m_evReached.Get(), timeoutMs) == WAIT_OBJECT_0;
    }

private:
    CCritSec m_cs;
    std::vector<Stamp> m_Stamps;
    REFERENCE_TIME m_tSignal = -1;
    CHandle m_evReached;
};

// A rendered file with grabbers around the one Velomix RenderFile inserted.
struct Player {
    CTap in, out; // made before the graph, so that they outlive it
    RenderedGraph graph;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IVelomixProp> prop;
};

// Puts a sample grabber with the callback between two connected pins.
void InsertTap(IGraphBuilder* pGraph, IPin* pOut, IPin* pIn, CTap* pTap, const wchar_t* name) {
    ComPtr<IBaseFilter> grabber;
    REQUIRE_HR(S_OK, CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IBaseFilter, reinterpret_cast<void**>(&grabber)));
    ComPtr<ISampleGrabber> control;
    REQUIRE_HR(S_OK,
               grabber->QueryInterface(kIidSampleGrabber, reinterpret_cast<void**>(&control)));
    REQUIRE_HR(S_OK, control->SetBufferSamples(FALSE));
    REQUIRE_HR(S_OK, control->SetCallback(pTap, 0));
    REQUIRE_HR(S_OK, pGraph->AddFilter(grabber.Get(), name));
    REQUIRE_HR(S_OK, pGraph->Disconnect(pOut));
    REQUIRE_HR(S_OK, pGraph->Disconnect(pIn));
    REQUIRE_HR(S_OK, pGraph->ConnectDirect(
                         pOut, FindPinByDirection(grabber.Get(), PINDIR_INPUT).Get(), nullptr));
    REQUIRE_HR(S_OK, pGraph->ConnectDirect(FindPinByDirection(grabber.Get(), PINDIR_OUTPUT).Get(),
                                           pIn, nullptr));
}

// RenderFile, then the taps: in before Velomix, out between it and the renderer.
void Render(const std::wstring& wav, Player& p) {
    p.graph = RenderWav(wav);
    IGraphBuilder* pGraph = p.graph.builder.Get();
    const ComPtr<IPin> velomixOut = FindPinByDirection(p.graph.velomix.Get(), PINDIR_OUTPUT);
    const ComPtr<IPin> velomixIn = FindPinByDirection(p.graph.velomix.Get(), PINDIR_INPUT);
    ComPtr<IPin> renderer, parser;
    REQUIRE_HR(S_OK, velomixOut->ConnectedTo(&renderer));
    REQUIRE(IsEqualGUID(ClassOf(PeerFilter(velomixOut.Get()).Get()), CLSID_DSoundRender),
            "Velomix feeds the DirectSound renderer");
    REQUIRE_HR(S_OK, velomixIn->ConnectedTo(&parser));
    InsertTap(pGraph, velomixOut.Get(), renderer.Get(), &p.out, L"Out tap");
    InsertTap(pGraph, parser.Get(), velomixIn.Get(), &p.in, L"In tap");
    REQUIRE_HR(S_OK,
               pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&p.seeking)));
    p.prop = RequireProp(p.graph.velomix.Get());
}

// Runs the graph; the time it started.
double Start(Player& p) {
    const double start = Now();
    REQUIRE(SUCCEEDED(p.graph.control->Run()), "the graph runs");
    return start;
}

// Waits for the graph's completion; the seconds since `since`.
double WaitForComplete(Player& p, double since) {
    RequireCompletion(p.graph.events.Get());
    return Now() - since;
}

// Samples [first, end) each carry audio and start where the previous one stopped; the first at
// t0. Returns the stop of the last.
REFERENCE_TIME CheckContiguous(const std::vector<Stamp>& s, size_t first, size_t end,
                               REFERENCE_TIME t0, const char* what) {
    REQUIRE(first < end, "%s: samples reach the renderer", what);
    REFERENCE_TIME expected = t0;
    size_t faults = 0;
    for (size_t k = first; k < end; ++k) {
        if (!s[k].bTime || s[k].cb <= 0 || s[k].tStart != expected || s[k].tStop <= s[k].tStart) {
            if (faults++ < 3)
                CHECK(false, "%s: sample %u (%ld bytes) %s%.7f-%.7f s, expected to start at %.7f s",
                      what, unsigned(k), long(s[k].cb), s[k].bTime ? "" : "without time ",
                      Sec(s[k].tStart), Sec(s[k].tStop), Sec(expected));
        }
        expected = s[k].tStop;
    }
    CHECK(faults == 0, "%s: %u of %u samples out of line", what, unsigned(faults),
          unsigned(end - first));
    return expected;
}

// Where a case plays: COM, the module registered so that RenderFile finds it by merit, VELO.INI
// with the given text (none: no file), and a folder for the file played.
struct PlaybackCase {
    explicit PlaybackCase(const char* settings) : ini(settings) {}
    CComScope com;
    CRegisteredModule reg;
    CSettingsFile ini;
    CTempFolder folder;
};

// A tone of the given length, written and rendered.
void Render(const PlaybackCase& c, double seconds, Player& p) {
    Render(RequireWav(c.folder, L"play.wav", SineSignal(size_t(seconds * 44100), 440.0)), p);
}

// Plays a tone of the given length at the tempo to its end; the wall time that took.
double PlayToEnd(const PlaybackCase& c, double seconds, double tempo, Player& p) {
    Render(c, seconds, p);
    REQUIRE_HR(S_OK, p.prop->SetTempo(tempo));
    const double wall = WaitForComplete(p, Start(p));
    p.graph.control->Stop();
    return wall;
}

} // namespace

VMX_TEST(playback, restamped_plays_at_the_tempo_set_before_run) {
    const PlaybackCase c("[INIT]\r\nRESTAMP=1\r\n");
    const double length = 4.0;
    for (const double tempo : {1.5, 0.75}) {
        const double seconds = tempo < 1 ? 3.0 : length;
        Player p;
        const double wall = PlayToEnd(c, seconds, tempo, p);
        const std::vector<Stamp> s = p.out.Stamps();
        const REFERENCE_TIME end = CheckContiguous(s, 0, s.size(), 0, "restamped");
        // Wine's parser gives media times in 100 ns from 0, as its stamps: so must the output.
        size_t mediaOff = 0;
        for (const Stamp& x : s)
            mediaOff += !x.bMediaTime || x.mtStart != x.tStart || x.mtStop != x.tStop;
        const std::vector<Stamp> inputs = p.in.Stamps();
        CHECK(!inputs.empty() && inputs[0].bMediaTime && inputs[0].mtStop == inputs[0].tStop,
              "the parser's media times run in 100 ns like its stamps");
        CHECK(mediaOff == 0, "%u of %u outputs' media times differ from their stamps",
              unsigned(mediaOff), unsigned(s.size()));
        const double expected = seconds / tempo;
        std::printf("playback: tempo %.2f, %.1f s file: EC_COMPLETE after %.3f s (audio %.3f s, "
                    "expected %.3f s), %u samples\n",
                    tempo, seconds, wall, Sec(end), expected, unsigned(s.size()));
        CHECK(std::fabs(Sec(end) - expected) < 0.05, "audio delivered: %.3f s for %.3f s", Sec(end),
              expected);
        CHECK(std::fabs(wall - expected) < kWallTolerance,
              "EC_COMPLETE after %.3f s, expected about %.3f s", wall, expected);
    }
}

VMX_TEST(playback, restamped_follows_changes_while_playing) {
    const PlaybackCase c("[INIT]\r\nRESTAMP=1\r\n");
    const double length = 3.0;
    Player p;
    Render(c, length, p);
    const double start = Start(p);
    // The changes land where the input has got to when they are made: 1.0 up to about 0.5 s of
    // input, 2.0 up to about 2.5 s, 0.75 for the rest (2.17 s in all, not the file's 3 s).
    REQUIRE(p.in.WaitForStop(kUnits / 2, 10000), "the input reaches 0.5 s");
    REQUIRE_HR(S_OK, p.prop->SetTempo(2.0));
    const double i1 = Sec(p.in.LastStop());
    REQUIRE(p.in.WaitForStop(5 * kUnits / 2, 10000), "the input reaches 2.5 s");
    REQUIRE_HR(S_OK, p.prop->SetTempo(0.75));
    const double i2 = Sec(p.in.LastStop());
    const double wall = WaitForComplete(p, start);
    p.graph.control->Stop();
    const std::vector<Stamp> s = p.out.Stamps();
    const REFERENCE_TIME end = CheckContiguous(s, 0, s.size(), 0, "restamped with changes");
    // Each stretch of input at its tempo; the sample in flight at a change goes either way.
    const double expected = i1 / 1.0 + (i2 - i1) / 2.0 + (length - i2) / 0.75;
    std::printf(
        "playback: 1.0 -> 2.0 at %.3f s -> 0.75 at %.3f s of input: EC_COMPLETE after %.3f s "
        "(audio %.3f s, computed %.3f s)\n",
        i1, i2, wall, Sec(end), expected);
    CHECK(std::fabs(Sec(end) - expected) < 0.25, "audio delivered: %.3f s for %.3f s", Sec(end),
          expected);
    CHECK(std::fabs(wall - expected) < kWallTolerance, "EC_COMPLETE after %.3f s, computed %.3f s",
          wall, expected);
}

VMX_TEST(playback, restamped_seek_starts_the_stamps_again) {
    const PlaybackCase c("[INIT]\r\nRESTAMP=1\r\n");
    const double length = 4.0, tempo = 1.5;
    Player p;
    Render(c, length, p);
    REQUIRE_HR(S_OK, p.prop->SetTempo(tempo));
    const double start = Start(p);
    REQUIRE(p.out.WaitForStop(kUnits / 2, 10000), "half a second of audio reaches the renderer");
    LONGLONG position = 2 * kUnits;
    const double seekAt = Now();
    REQUIRE_HR(S_OK, p.seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                             AM_SEEKING_NoPositioning));
    const double wall = WaitForComplete(p, seekAt);
    p.graph.control->Stop();

    // The new segment begins with a discontinuity or a jump of the stamps, on either side.
    const std::vector<Stamp> ins = p.in.Stamps(), outs = p.out.Stamps();
    auto lastDiscontinuity = [](const std::vector<Stamp>& v) {
        size_t at = v.size();
        for (size_t k = 1; k < v.size(); ++k)
            if (v[k].bDiscontinuity || v[k].tStart != v[k - 1].tStop)
                at = k;
        return at;
    };
    const size_t inFirst = lastDiscontinuity(ins), outFirst = lastDiscontinuity(outs);
    REQUIRE(inFirst < ins.size() && outFirst < outs.size(),
            "the seek starts a new segment (input %u, output %u)", unsigned(inFirst),
            unsigned(outFirst));
    CheckContiguous(outs, 0, outFirst, 0, "before the seek");
    const REFERENCE_TIME end =
        CheckContiguous(outs, outFirst, outs.size(), ins[inFirst].tStart, "after the seek");
    const double expected = (length - 2.0) / tempo;
    std::printf("playback: seek to 2 s after %.3f s at tempo %.2f: new segment from %.3f s, "
                "EC_COMPLETE %.3f s "
                "after the seek (audio %.3f s, expected %.3f s)\n",
                seekAt - start, tempo, Sec(ins[inFirst].tStart), wall,
                Sec(end - ins[inFirst].tStart), expected);
    CHECK(std::fabs(Sec(end - ins[inFirst].tStart) - expected) < 0.05,
          "audio after the seek: %.3f s for %.3f s", Sec(end - ins[inFirst].tStart), expected);
    CHECK(std::fabs(wall - expected) < kWallTolerance,
          "EC_COMPLETE %.3f s after the seek, expected about %.3f s", wall, expected);
}

VMX_TEST(playback, default_keeps_the_inputs_stamps) {
    const PlaybackCase c(nullptr);
    const double length = 2.0, tempo = 1.5;
    Player p;
    const double wall = PlayToEnd(c, length, tempo, p);
    // The outputs of each input share its span: every input's start is an output's start, and
    // the outputs cover the inputs' time without gap up to the last input's stop.
    const std::vector<Stamp> ins = p.in.Stamps(), outs = p.out.Stamps();
    REQUIRE(!ins.empty() && !outs.empty(), "samples go through");
    size_t k = 0, missing = 0;
    for (const Stamp& i : ins) {
        while (k < outs.size() && outs[k].tStart < i.tStart)
            ++k;
        if (k == outs.size() || outs[k].tStart != i.tStart)
            ++missing;
    }
    CHECK(missing == 0, "%u of %u input starts are no output's start", unsigned(missing),
          unsigned(ins.size()));
    REFERENCE_TIME expected = 0;
    size_t faults = 0;
    for (const Stamp& o : outs) {
        faults += o.tStart != expected;
        expected = o.tStop;
    }
    CHECK(faults == 0, "%u outputs do not start where the previous one stopped", unsigned(faults));
    std::printf("playback: no RESTAMP, tempo %.2f, %.1f s file: EC_COMPLETE after %.3f s (%u "
                "inputs, %u outputs)\n",
                tempo, length, wall, unsigned(ins.size()), unsigned(outs.size()));
    // The renderer keeps the file's pace: this is what RESTAMP is for.
    CHECK(wall > length - 0.3, "EC_COMPLETE after %.3f s for a %.1f s file", wall, length);
}
