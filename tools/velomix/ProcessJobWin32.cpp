// The job on Windows: a real graph of the platform's graph manager. The platform's file source
// and wave parser read IN, Velomix (made through the module's class factory) changes it, and
// the tool's own renderer writes OUT as a WAV file.
//
// The wave parser sizes the buffers between it and Velomix, and Velomix gives its output the
// same size: at a slow-down each input buffer gives more audio than one output buffer holds,
// and the filter keeps the rest until the end of the stream.
#include "ProcessJob.h"

#include "GraphHelpers.h"
#include "JobCommon.h"
#include "JobInterrupt.h"
#include "MediaTime.h"
#include "OutputFile.h"
#include "WavFile.h"
#include "WavSink.h"
#include "Win32Text.h"

#include <chrono>
#include <cstdio>

const char kProcessFileFormats[] =
    "and writes OUT in the same sample format. On Windows IN and OUT are WAV files: IN\n"
    "as the platform's wave parser reads it, OUT a RIFF/WAVE file (or a pipe).\n";

namespace {

// The platform's wave parser; mingw-w64's uuids.h lacks it.
// {D51BD5A1-7548-11CF-A520-0080C77EF58A}
VMX_DEFINE_GUID(kClsidWaveParser, 0xD51BD5A1, 0x7548, 0x11CF, 0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E,
                0xF5, 0x8A);

// An event's parameters, freed through the graph when the scope ends.
class CGraphEvent {
public:
    explicit CGraphEvent(IMediaEvent* pEvents) noexcept : m_pEvents(pEvents) {}
    ~CGraphEvent() {
        if (m_bHeld)
            m_pEvents->FreeEventParams(m_code, m_p1, m_p2);
    }
    CGraphEvent(const CGraphEvent&) = delete;
    CGraphEvent& operator=(const CGraphEvent&) = delete;

    // S_OK with an event, E_ABORT when none came within the time.
    HRESULT Wait(long ms) {
        const HRESULT hr = m_pEvents->GetEvent(&m_code, &m_p1, &m_p2, ms);
        m_bHeld = SUCCEEDED(hr);
        return hr;
    }
    long Code() const noexcept { return m_code; }
    LONG_PTR Param1() const noexcept { return m_p1; }

private:
    IMediaEvent* m_pEvents;
    long m_code = 0;
    LONG_PTR m_p1 = 0;
    LONG_PTR m_p2 = 0;
    bool m_bHeld = false;
};

ComPtr<IBaseFilter> CreatePlatformFilter(REFCLSID clsid, HRESULT* phr) {
    ComPtr<IBaseFilter> p;
    *phr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                            reinterpret_cast<void**>(&p));
    return SUCCEEDED(*phr) ? p : ComPtr<IBaseFilter>();
}

// "2 channels, 44100 Hz, 16-bit" of the first type a pin offers, for messages; false when it
// offers none.
bool OfferedFormat(IPin* pPin, std::string* pText) {
    ComPtr<IEnumMediaTypes> pEnum;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (FAILED(pPin->EnumMediaTypes(&pEnum)) || pEnum->Next(1, &pmt, nullptr) != S_OK || !pmt)
        return false;
    *pText = "a format other than PCM audio";
    if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) && pmt->pbFormat && pmt->cbFormat >= 16) {
        const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
        const bool bFloat = IsEqualGUID(pmt->subtype, MEDIASUBTYPE_IEEE_FLOAT);
        char buffer[96];
        std::snprintf(buffer, sizeof(buffer), "%u channels, %lu Hz, %u-bit%s",
                      static_cast<unsigned>(wfx->nChannels),
                      static_cast<unsigned long>(wfx->nSamplesPerSec),
                      static_cast<unsigned>(wfx->wBitsPerSample), bFloat ? " float" : "");
        *pText = buffer;
    }
    DeleteMediaType(pmt);
    return true;
}

// The input's length as the parser reports it; 0 when it does not.
double DurationSeconds(IPin* pParserOut, IBaseFilter* pParser) {
    for (IUnknown* pObject :
         {static_cast<IUnknown*>(pParserOut), static_cast<IUnknown*>(pParser)}) {
        ComPtr<IMediaSeeking> pSeeking;
        LONGLONG duration = 0;
        if (SUCCEEDED(
                pObject->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&pSeeking))) &&
            SUCCEEDED(pSeeking->GetDuration(&duration)) && duration > 0)
            return static_cast<double>(duration) / static_cast<double>(kUnitsPerSecond);
    }
    return 0.0;
}

} // namespace

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void ChooseControlChannel(bool steerable) {
    // The module reads the process's environment block (GetEnvironmentVariableW).
    SetEnvironmentVariableW(L"VELOMIX_CHANNEL", steerable ? nullptr : L"off");
}

int RunProcessJob(const ProcessOptions& o) {
    // Before anything is opened: writing OUT would destroy IN.
    if (COutputFile::SameFile(o.inputPath, o.outputPath))
        return RefuseOutputIsInput(o);
    std::string error;
    if (!CheckWavFile(o.inputPath, &error))
        return JobFailure("cannot read " + o.inputPath + ": " + error);

    // Declared first: COM ends after every object below is released.
    const CComScope com;
    if (FAILED(com.Result()))
        return JobFailure("cannot initialise COM (" + HexResult(com.Result()) + ")");

    ChooseControlChannel(o.steerable);
    CModuleLoader module;
    ComPtr<IBaseFilter> filter;
    if (const int code = CreateConfiguredFilter(o, module, filter); code != kExitOk)
        return code;
    CSpeedWatch speedWatch(filter.Get(), o);

    // Declared before the sink: the sink's file is closed before the temporary file goes.
    COutputFile output;
    const ComPtr<CWavSink> sink = CWavSink::Create();
    if (!sink)
        return JobFailure("cannot create the file sink");
    // However the job ends, the sink lets go of its file; the graph may hold it a while.
    struct CCloseSinkFile {
        CWavSink* pSink;
        ~CCloseSinkFile() { pSink->FinishFile(); }
    } closeSinkFile{sink.Get()};

    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGraphBuilder, reinterpret_cast<void**>(&graph));
    if (FAILED(hr))
        return JobFailure("the platform's graph manager is not available (" + HexResult(hr) + ")");
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaFilter> mediaFilter;
    if (FAILED(hr = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control))) ||
        FAILED(hr = graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events))) ||
        FAILED(hr =
                   graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&mediaFilter))))
        return JobFailure("the graph manager lacks its control interfaces (" + HexResult(hr) + ")");
    // No reference clock: a file is processed as fast as it goes, not played.
    mediaFilter->SetSyncSource(nullptr);

    const ComPtr<IBaseFilter> source = CreatePlatformFilter(CLSID_AsyncReader, &hr);
    if (!source)
        return JobFailure("the platform's file source is not available (" + HexResult(hr) + ")");
    const ComPtr<IBaseFilter> parser = CreatePlatformFilter(kClsidWaveParser, &hr);
    if (!parser)
        return JobFailure("the platform's wave parser is not available (" + HexResult(hr) + ")");
    if (FAILED(hr = graph->AddFilter(source.Get(), L"File Source")) ||
        FAILED(hr = graph->AddFilter(parser.Get(), L"Wave Parser")) ||
        FAILED(hr = graph->AddFilter(filter.Get(), L"Velomix")) ||
        FAILED(hr = graph->AddFilter(sink.Get(), L"File Sink")))
        return JobFailure("cannot build the graph (" + HexResult(hr) + ")");

    ComPtr<IFileSourceFilter> fileSource;
    if (FAILED(hr = source->QueryInterface(IID_IFileSourceFilter,
                                           reinterpret_cast<void**>(&fileSource))) ||
        FAILED(hr = fileSource->Load(WideFromUtf8(o.inputPath).c_str(), nullptr)))
        return JobFailure("cannot read " + o.inputPath + ": the file source refused it (" +
                          HexResult(hr) + ")");
    const ComPtr<IPin> sourceOut = FindPinByDirection(source.Get(), PINDIR_OUTPUT);
    const ComPtr<IPin> parserIn = FindPinByDirection(parser.Get(), PINDIR_INPUT);
    if (!sourceOut || !parserIn)
        return JobFailure("the platform's file source or wave parser has no pins");
    hr = graph->ConnectDirect(sourceOut.Get(), parserIn.Get(), nullptr);
    if (FAILED(hr))
        return JobFailure("cannot read " + o.inputPath + ": the wave parser does not take it (" +
                          HexResult(hr) + ")");
    // The parser makes its output pin once it has read the file's header.
    const ComPtr<IPin> parserOut = FindPinByDirection(parser.Get(), PINDIR_OUTPUT);
    const ComPtr<IPin> in = FindPinById(filter.Get(), L"In");
    const ComPtr<IPin> out = FindPinById(filter.Get(), L"Out");
    const ComPtr<IPin> sinkIn = FindPinById(sink.Get(), L"In");
    if (!parserOut)
        return JobFailure("cannot read " + o.inputPath +
                          ": the wave parser found no audio stream in it");
    if (!in || !out || !sinkIn)
        return JobFailure("the filter has no pins \"In\" and \"Out\"");
    hr = graph->ConnectDirect(parserOut.Get(), in.Get(), nullptr);
    if (FAILED(hr)) {
        std::string format;
        if (!OfferedFormat(parserOut.Get(), &format))
            return JobFailure("cannot read " + o.inputPath +
                              ": the wave parser offers no format for it (" + HexResult(hr) + ")");
        std::fprintf(stderr, "velomix: %s: the filter does not take this format (%s; %s)\n",
                     o.inputPath.c_str(), format.c_str(), HexResult(hr).c_str());
        return kExitFailure;
    }
    hr = graph->ConnectDirect(out.Get(), sinkIn.Get(), nullptr);
    if (FAILED(hr))
        return JobFailure("cannot connect the file sink (" + HexResult(hr) + ")");
    // OUT is prepared only now: a job that cannot run leaves nothing behind. An interruption
    // from here on stops the graph and removes what was written.
    CJobInterrupt interrupt;
    if (const int rc = PrepareOutput(o, output, interrupt); rc != kExitOk)
        return rc;
    if (!sink->BeginFile(output.WritePath()))
        return JobFailure("cannot write " + o.outputPath + ": " + sink->FileError());
    const double inSeconds = DurationSeconds(parserOut.Get(), parser.Get());

    const auto started = std::chrono::steady_clock::now();
    hr = control->Run();
    if (FAILED(hr)) {
        control->Stop();
        return JobFailure("cannot run the graph (" + HexResult(hr) + ")");
    }
    long endCode = 0;
    LONG_PTR endParam = 0;
    for (;;) {
        CGraphEvent event(events.Get());
        hr = event.Wait(100);
        speedWatch.Poll();
        if (o.progress && inSeconds > 0)
            DrawProgress(static_cast<double>(sink->StreamPosition()) / kUnitsPerSecond / inSeconds);
        if (interrupt.Requested())
            break;
        if (hr == E_ABORT)
            continue;
        if (FAILED(hr))
            break;
        if (event.Code() == EC_COMPLETE || event.Code() == EC_ERRORABORT ||
            event.Code() == EC_USERABORT || event.Code() == EC_ERRORABORTEX) {
            endCode = event.Code();
            endParam = event.Param1();
            break;
        }
    }
    control->Stop();
    if (interrupt.Requested())
        EndInterruptedJob(o, output, interrupt, [&sink] { sink->FinishFile(); });
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (o.progress)
        std::fputc('\n', stderr);

    if (sink->WriteFailed())
        return JobFailure("cannot write " + o.outputPath + ": " + sink->FileError());
    if (FAILED(hr))
        return JobFailure("processing failed (" + HexResult(hr) + ")");
    if (endCode != EC_COMPLETE)
        return JobFailure("processing failed (" + HexResult(static_cast<HRESULT>(endParam)) + ")");
    if (!sink->FinishFile())
        return JobFailure("cannot write " + o.outputPath + ": " + sink->FileError());
    if (const int rc = CommitOutput(o, output, interrupt); rc != kExitOk)
        return rc;

    const WAVEFORMATEX& wfx = sink->Format();
    const double bytesPerSecond = static_cast<double>(wfx.nSamplesPerSec) * wfx.nBlockAlign;
    const double outSeconds =
        bytesPerSecond > 0 ? static_cast<double>(sink->DataBytes()) / bytesPerSecond : 0.0;
    speedWatch.Poll();
    PrintSummary(o, SpeedInForce(filter.Get(), o), inSeconds, outSeconds, elapsed);
    PrintSteeringNote(speedWatch);
    return kExitOk;
}
