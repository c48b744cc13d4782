// The graphs the cases build in the platform's graph manager: a WAV file through the platform's
// file source and wave parser, Velomix and the capture sink, each added and connected pin to
// pin so the graph is the same on every run; and a WAV file that the graph builder renders,
// inserting Velomix by merit as it does for a player. Each helper ends the case (REQUIRE) when
// the platform or the module fails it.
#pragma once

#include "CaptureSink.h"
#include "SampleSource.h"
#include "Support.h"

#include <string>

// The graph manager and the interfaces a case drives it through.
struct PlatformGraph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
};

// Waits up to 30 s for the graph's completion: EC_COMPLETE and nothing else.
void RequireCompletion(IMediaEvent* pEvents);

// file source -> wave parser -> Velomix -> capture sink.
// The platform's graph manager with its control and event interfaces, or the case stops.
void RequireGraph(PlatformGraph& g);

struct CaptureGraph : PlatformGraph {
    ComPtr<IBaseFilter> source;
    ComPtr<IBaseFilter> parser;
    ComPtr<IBaseFilter> filter;
    ComPtr<CCaptureSink> sink;
    ComPtr<IVelomixProp> prop;
};
// Built from a new filter of the module's, connected and stopped.
CaptureGraph BuildCaptureGraph(const CModule& module, const std::wstring& wavPath);
// Runs the graph until it completes.
void RunToCompletion(CaptureGraph& g);
// Stops and takes the graph apart; then the case's reference to the filter must be its last.
void TearDown(CaptureGraph& g);

// the tests' source -> Velomix -> capture sink, running: the case pushes the samples itself.
struct SourceGraph : PlatformGraph {
    ComPtr<CSampleSource> source;
    ComPtr<IBaseFilter> filter;
    ComPtr<IVelomixProp> prop;
    ComPtr<CCaptureSink> sink;
};
// Built from a new filter of the module's; before it runs, prepare(g) (the speed to start at).
template <typename Prepare>
SourceGraph RunSourceGraph(const CModule& module, const CMediaType& mt, LONG cbBuffer,
                           Prepare&& prepare);
SourceGraph BuildSourceGraph(const CModule& module, const CMediaType& mt, LONG cbBuffer);
void RunSourceGraph(SourceGraph& g);
// Waits for completion, stops, and takes the graph apart; what the sink kept. Then the case's
// reference to the filter must have been its last.
CaptureLog CompleteSourceGraph(SourceGraph& g);

template <typename Prepare>
SourceGraph RunSourceGraph(const CModule& module, const CMediaType& mt, LONG cbBuffer,
                           Prepare&& prepare) {
    SourceGraph g = BuildSourceGraph(module, mt, cbBuffer);
    prepare(g);
    RunSourceGraph(g);
    return g;
}

// A WAV file rendered by the graph builder, stopped: RenderFile inserted exactly one Velomix.
struct RenderedGraph : PlatformGraph {
    ComPtr<IBaseFilter> velomix;
};
RenderedGraph RenderWav(const std::wstring& wavPath);
