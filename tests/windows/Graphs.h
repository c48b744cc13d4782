// The graphs the cases build in the platform's graph manager: a WAV file through the platform's
// file source and wave parser, Velomix and the capture sink, each added and connected pin to
// pin so the graph is the same on every run; and a WAV file that the graph builder renders,
// inserting Velomix by merit as it does for a player. Each helper ends the case (REQUIRE) when
// the platform or the module fails it.
#pragma once

#include "CaptureSink.h"
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

// A WAV file rendered by the graph builder, stopped: RenderFile inserted exactly one Velomix.
struct RenderedGraph : PlatformGraph {
    ComPtr<IBaseFilter> velomix;
};
RenderedGraph RenderWav(const std::wstring& wavPath);
