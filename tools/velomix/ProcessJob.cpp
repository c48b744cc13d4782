#include "ProcessJob.h"

#include "ComPtr.h"
#include "JobCommon.h"
#include "JobInterrupt.h"
#include "ModuleLoader.h"
#include "OutputFile.h"
#include "SoundFile.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

const char kProcessFileFormats[] =
    "and writes OUT in the same sample format. Every format libsndfile reads can be IN;\n"
    "OUT's container follows its extension (.wav, .flac, .ogg, .aiff, ...).\n";

namespace {

CMediaType MediaTypeFor(const WAVEFORMATEX& wfx, bool isFloat) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(isFloat ? &MEDIASUBTYPE_IEEE_FLOAT : &MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetSampleSize(wfx.nBlockAlign);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
    return mt;
}

// Streams the input file. Each sample carries at most as much audio as the filter's output
// buffer can hold after slowing it down, so processed audio never piles up in the filter.
class CFileProvider final : public CSampleProvider {
public:
    CFileProvider(CSoundReader& reader, int64_t chunkFrames, std::atomic<int64_t>& framesRead)
        : m_Reader(reader), m_ChunkFrames(chunkFrames), m_FramesRead(framesRead) {}

    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        const int blockAlign = m_Reader.Layout().BlockAlign();
        const int64_t frames = std::min<int64_t>(m_ChunkFrames, cbBuffer / blockAlign);
        const int64_t got = m_Reader.Read(pBuffer, frames);
        if (got < 0)
            return E_FAIL;
        if (got == 0)
            return S_FALSE;
        const DWORD rate = static_cast<DWORD>(m_Reader.Layout().sampleRate);
        pChunk->cbData = static_cast<LONG>(got * blockAlign);
        pChunk->bTimeValid = true;
        pChunk->tStart = CPcmProvider::FrameTime(m_Position, rate);
        pChunk->tStop = CPcmProvider::FrameTime(m_Position + got, rate);
        pChunk->bMediaTimeValid = true;
        pChunk->mtStart = m_Position;
        pChunk->mtStop = m_Position + got;
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_Position == 0;
        m_Position += got;
        m_FramesRead = m_Position;
        return S_OK;
    }
    REFERENCE_TIME Duration() const noexcept override {
        return CPcmProvider::FrameTime(m_Reader.Frames(),
                                       static_cast<DWORD>(m_Reader.Layout().sampleRate));
    }

private:
    CSoundReader& m_Reader;
    const int64_t m_ChunkFrames;
    std::atomic<int64_t>& m_FramesRead;
    int64_t m_Position = 0;
};

// "88206 frames (2.00 s) of the 176400 it announces are missing", or what is known of it.
std::string MissingText(int64_t framesRead, int64_t expected, int sampleRate) {
    char text[160];
    if (expected <= framesRead)
        std::snprintf(text, sizeof text, "%lld frames read; how much is missing is not known",
                      static_cast<long long>(framesRead));
    else
        std::snprintf(text, sizeof text,
                      "%lld frames (%.2f s) of the %lld it announces are missing",
                      static_cast<long long>(expected - framesRead),
                      double(expected - framesRead) / sampleRate, static_cast<long long>(expected));
    return text;
}

} // namespace

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void ChooseControlChannel(bool steerable) {
    if (steerable)
        unsetenv("VELOMIX_CHANNEL");
    else
        setenv("VELOMIX_CHANNEL", "off", 1);
}

int RunProcessJob(const ProcessOptions& o) {
    // Before anything is opened: writing OUT would destroy IN.
    if (COutputFile::SameFile(o.inputPath, o.outputPath))
        return RefuseOutputIsInput(o);
    CSoundReader reader;
    if (!reader.Open(o.inputPath))
        return JobFailure("cannot read " + o.inputPath + ": " + reader.Error());
    const PcmLayout layout = reader.Layout();

    ChooseControlChannel(o.steerable);
    CModuleLoader module;
    ComPtr<IBaseFilter> filter;
    if (const int code = CreateConfiguredFilter(o, module, filter); code != kExitOk)
        return code;
    CSpeedWatch speedWatch(filter.Get(), o);

    // 100 ms buffers, filled whatever the speed: the filter delivers as many outputs as it needs.
    const WAVEFORMATEX wfx = WaveFormatFor(layout);
    const int64_t bufferFrames = std::max(256, layout.sampleRate / 10);

    std::atomic<int64_t> framesRead{0};
    CPushSource::Options so;
    so.cbBuffer = static_cast<LONG>(bufferFrames * wfx.nBlockAlign);
    so.cBuffers = 4;
    ComPtr<CPushSource> source;
    HRESULT hr = CPushSource::Create(
        MediaTypeFor(wfx, layout.isFloat),
        std::make_unique<CFileProvider>(reader, bufferFrames, framesRead), so, &source);
    if (FAILED(hr))
        return JobFailure("cannot create the file source (" + HexResult(hr) + ")");

    // From here on an interruption stops the graph and removes what was written.
    CJobInterrupt interrupt;
    // Declared before the writer, which is thus closed before the temporary file goes.
    COutputFile output;
    if (const int rc = PrepareOutput(o, output, interrupt); rc != kExitOk)
        return rc;
    // The audio the run should give, for a container that must know ahead whether it outgrows
    // 32-bit sizes.
    const double expectedBytes =
        double(reader.Frames()) * layout.BlockAlign() / std::max(o.tempo * o.rate, 1e-6);
    CSoundWriter writer;
    if (!writer.Open(output.WritePath(), layout, reader.Format(), reader.ChannelMap(), o.outputPath,
                     expectedBytes >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(expectedBytes)))
        return JobFailure("cannot write " + o.outputPath + ": " + writer.Error());
    std::atomic<bool> writeFailed{false};
    CCollectingSink::Options sinkOptions;
    sinkOptions.bStoreSamples = false;
    sinkOptions.onSample = [&](IMediaSample*, const ReceivedSample& s) -> HRESULT {
        if (!writer.Write(s.data.data(), static_cast<int64_t>(s.data.size()))) {
            writeFailed = true;
            return E_FAIL;
        }
        return S_OK;
    };
    ComPtr<CCollectingSink> sink;
    hr = CCollectingSink::Create(MEDIATYPE_Audio, sinkOptions, &sink);
    if (FAILED(hr))
        return JobFailure("cannot create the file sink (" + HexResult(hr) + ")");

    ComPtr<CFilterGraph> graph;
    if (FAILED(hr = CFilterGraph::Create(&graph)) ||
        FAILED(hr = graph->AddFilter(source.Get(), L"File Source")) ||
        FAILED(hr = graph->AddFilter(filter.Get(), L"Velomix")) ||
        FAILED(hr = graph->AddFilter(sink.Get(), L"File Sink")))
        return JobFailure("cannot build the graph (" + HexResult(hr) + ")");
    ComPtr<IPin> in, out;
    if (FAILED(filter->FindPin(L"In", &in)) || FAILED(filter->FindPin(L"Out", &out)))
        return JobFailure("the filter has no pins \"In\" and \"Out\"");
    hr = graph->ConnectDirect(source->OutputPin(), in.Get(), nullptr);
    if (FAILED(hr)) {
        std::fprintf(stderr,
                     "velomix: %s: the filter does not take this format (%d channels, %d Hz, "
                     "%d-bit%s; %s)\n",
                     o.inputPath.c_str(), layout.channels, layout.sampleRate, layout.bits,
                     layout.isFloat ? " float" : "", HexResult(hr).c_str());
        return kExitFailure;
    }
    hr = graph->ConnectDirect(out.Get(), sink->InputPin(), nullptr);
    if (FAILED(hr))
        return JobFailure("cannot connect the file sink (" + HexResult(hr) + ")");

    const auto started = std::chrono::steady_clock::now();
    hr = graph->Run();
    if (FAILED(hr))
        return JobFailure("cannot run the graph (" + HexResult(hr) + ")");
    LONG code = 0;
    LONG_PTR param = 0;
    for (;;) {
        hr = graph->WaitForCompletion(100, &code, &param);
        speedWatch.Poll();
        if (o.progress)
            DrawProgress(reader.Frames() > 0 ? double(framesRead) / double(reader.Frames()) : 0.0);
        if (hr != E_ABORT || writeFailed || interrupt.Requested())
            break;
    }
    graph->Stop();
    if (interrupt.Requested())
        EndInterruptedJob(o, output, interrupt, [&writer] { writer.Close(); });
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (o.progress)
        std::fputc('\n', stderr);

    if (writeFailed)
        return JobFailure("cannot write " + o.outputPath + ": " + writer.Error());
    const CSoundReader::Report read = reader.ReadReport();
    if (code == EC_ERRORABORT && !reader.Error().empty())
        return JobFailure("cannot read " + o.inputPath + ": " + reader.Error() + "; " +
                          MissingText(framesRead, read.expectedFrames, layout.sampleRate) + " (" +
                          HexResult(static_cast<HRESULT>(param)) + ")");
    if (FAILED(hr) || code != EC_COMPLETE)
        return JobFailure("processing failed (" +
                          HexResult(code == EC_ERRORABORT ? static_cast<HRESULT>(param) : hr) +
                          ")");
    // The decoder read on past damage without an error: the audio it skipped is lost, so the
    // output is not what IN holds.
    if (!read.damage.empty())
        return JobFailure("cannot read " + o.inputPath +
                          ": the decoder reports a damaged stream (" + read.damage + "); " +
                          MissingText(framesRead, read.expectedFrames, layout.sampleRate));
    // A file cut short (a broken download) still gives what it holds; but say what is not there.
    if (read.expectedFrames > framesRead)
        std::fprintf(stderr, "velomix: warning: %s is cut short: %s\n", o.inputPath.c_str(),
                     MissingText(framesRead, read.expectedFrames, layout.sampleRate).c_str());
    if (!writer.Close())
        return JobFailure("cannot write " + o.outputPath + ": " + writer.Error());
    if (const int rc = CommitOutput(o, output, interrupt); rc != kExitOk)
        return rc;

    // What was read, which a stream's header may have announced otherwise.
    const double inSeconds = double(framesRead) / layout.sampleRate;
    const double outSeconds = double(writer.FramesWritten()) / layout.sampleRate;
    speedWatch.Poll();
    PrintSummary(o, SpeedInForce(filter.Get(), o), inSeconds, outSeconds, elapsed);
    PrintSteeringNote(speedWatch);
    return kExitOk;
}
