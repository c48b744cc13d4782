#include "ListeningRun.h"

#include "IVelomixProp.h"
#include "MediaTime.h"
#include "common/AudioTypes.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

using namespace listening;

namespace {

// Input samples of a fixed length from a block of audio, stamped as the framework's sources
// stamp them; calls the hook before filling each one.
class CHookedProvider final : public CSampleProvider {
public:
    CHookedProvider(const RunPlan& plan, std::function<void(size_t sample)> hook)
        : m_Plan(plan), m_Hook(std::move(hook)) {}

    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        const size_t block = size_t(m_Plan.format.BlockAlign());
        const size_t frames = m_Plan.input.size() / block;
        if (m_Frame >= frames)
            return S_FALSE;
        m_Hook(m_Sample);
        const size_t n = std::min(
            {m_Plan.sampleFrames, frames - m_Frame, size_t(std::max<LONG>(cbBuffer, 0)) / block});
        std::memcpy(pBuffer, m_Plan.input.data() + m_Frame * block, n * block);
        const DWORD rate = DWORD(m_Plan.format.rate);
        pChunk->cbData = LONG(n * block);
        pChunk->bTimeValid = true;
        pChunk->tStart = FramesToTime(LONGLONG(m_Frame), rate);
        pChunk->tStop = FramesToTime(LONGLONG(m_Frame + n), rate);
        pChunk->bMediaTimeValid = true;
        pChunk->mtStart = LONGLONG(m_Frame);
        pChunk->mtStop = LONGLONG(m_Frame + n);
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_Sample == 0;
        m_Frame += n;
        ++m_Sample;
        return S_OK;
    }

    REFERENCE_TIME Duration() const noexcept override {
        return FramesToTime(LONGLONG(m_Plan.input.size() / size_t(m_Plan.format.BlockAlign())),
                            DWORD(m_Plan.format.rate));
    }

private:
    const RunPlan& m_Plan;
    std::function<void(size_t)> m_Hook;
    size_t m_Frame = 0;
    size_t m_Sample = 0;
};

CMediaType TypeOf(const Format& f) {
    const WAVEFORMATEX wfx = WaveFormat(WORD(f.channels), DWORD(f.rate), WORD(f.Bits()),
                                        f.IsFloat() ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
    return AudioType(wfx, f.IsFloat() ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM);
}

void Apply(IVelomixProp* pProp, const SpeedSetting& s, std::vector<HRESULT>& results,
           bool bTempoBySegment = false) {
    results.push_back(pProp->SetTempo(bTempoBySegment ? 1.0 : s.tempo));
    results.push_back(pProp->SetRate(s.rate));
    results.push_back(pProp->SetPitch(s.pitch));
}

} // namespace

RunRecord RunFilter(IBaseFilter* pFilter, const RunPlan& plan) {
    RunRecord record;
    ComPtr<IVelomixProp> prop;
    if (FAILED(pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)))) {
        record.error = "no IVelomixProp";
        return record;
    }
    Apply(prop.Get(), plan.start, record.setterResults, plan.bTempoBySegment);
    ComPtr<IPin> in, out;

    // The sink's count, read by the hook; both run on the streaming thread.
    auto delivered = std::make_shared<std::atomic<size_t>>(0);
    const size_t block = size_t(plan.format.BlockAlign());
    size_t next = 0;
    auto hook = [&](size_t sample) {
        for (; next < plan.changes.size() && plan.changes[next].sample == sample; ++next) {
            record.framesAtChange.push_back(delivered->load());
            const SpeedSetting& to = plan.changes[next].to;
            Apply(prop.Get(), to, record.setterResults, plan.bTempoBySegment);
            if (plan.bTempoBySegment)
                record.setterResults.push_back(
                    in->NewSegment(0, std::numeric_limits<REFERENCE_TIME>::max(), to.tempo));
        }
    };
    CCollectingSink::Options sinkOptions;
    sinkOptions.onSample = [delivered, block](IMediaSample*, const ReceivedSample& s) {
        *delivered += size_t(s.lActual) / block;
        return S_OK;
    };
    CPushSource::Options sourceOptions;
    sourceOptions.cbBuffer = LONG(plan.sampleFrames * block);

    ComPtr<CFilterGraph> graph;
    ComPtr<CPushSource> source;
    ComPtr<CCollectingSink> sink;
    const CMediaType type = TypeOf(plan.format);
    HRESULT hr = CFilterGraph::Create(&graph);
    if (SUCCEEDED(hr))
        hr = CPushSource::Create(type, std::make_unique<CHookedProvider>(plan, hook), sourceOptions,
                                 &source);
    if (SUCCEEDED(hr))
        hr = CCollectingSink::Create(MEDIATYPE_Audio, sinkOptions, &sink);
    if (SUCCEEDED(hr))
        hr = graph->AddFilter(source.Get(), L"source");
    if (SUCCEEDED(hr))
        hr = graph->AddFilter(pFilter, L"Velomix");
    if (SUCCEEDED(hr))
        hr = graph->AddFilter(sink.Get(), L"sink");
    if (SUCCEEDED(hr))
        hr = pFilter->FindPin(L"In", &in);
    if (SUCCEEDED(hr))
        hr = pFilter->FindPin(L"Out", &out);
    if (SUCCEEDED(hr))
        hr = graph->ConnectDirect(source->OutputPin(), in.Get(), nullptr);
    if (SUCCEEDED(hr))
        hr = graph->ConnectDirect(out.Get(), sink->InputPin(), nullptr);
    if (FAILED(hr)) {
        record.error = "the graph could not be built";
        return record;
    }
    if (plan.bTempoBySegment) {
        ComPtr<IMediaSeeking> seeking;
        hr = out->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking));
        if (SUCCEEDED(hr))
            hr = seeking->SetRate(plan.start.tempo);
        if (FAILED(hr)) {
            record.error = "the source took no rate";
            return record;
        }
    }
    LONG code = 0;
    hr = graph->Run();
    if (SUCCEEDED(hr))
        hr = graph->WaitForCompletion(600000, &code);
    if (FAILED(hr) || code != EC_COMPLETE)
        record.error = "the run did not complete (event " + std::to_string(code) + ")";
    graph->Stop();
    record.samples = sink->Samples();
    for (const ReceivedSample& s : record.samples)
        record.output.insert(record.output.end(), s.data.begin(), s.data.end());
    return record;
}

namespace {

Recording RecordingOf(const RunRecord& run) {
    Recording r;
    r.bytes = run.output;
    size_t offset = 0;
    for (const ReceivedSample& s : run.samples) {
        r.samples.push_back({{s.tStart, s.tStop}, offset, size_t(s.lActual)});
        offset += size_t(s.lActual);
    }
    r.framesAtChange = run.framesAtChange.empty() ? 0 : run.framesAtChange[0];
    return r;
}

} // namespace

ChangeFigures MeasureChange(const FilterMaker& make, const ChangeCase& c, bool bRestamp,
                            bool bTempoBySegment) {
    RunPlan plan;
    plan.bTempoBySegment = bTempoBySegment;
    plan.format = c.format;
    plan.sampleFrames = c.SampleFrames();
    plan.start = c.from;
    plan.changes = {{c.ChangeSample(), c.to}};
    Recording recordings[2];
    for (int i = 0; i < 2; ++i) {
        plan.input = i == 0 ? c.ChirpInput() : c.ToneInput();
        RunRecord run;
        {
            ComPtr<IBaseFilter> filter = make();
            if (!filter) {
                ChangeFigures failed;
                failed.error = "no filter";
                return failed;
            }
            run = RunFilter(filter.Get(), plan);
        }
        for (HRESULT hr : run.setterResults) {
            if (FAILED(hr) && run.error.empty())
                run.error = "a setter refused its value";
        }
        if (!run.error.empty()) {
            ChangeFigures failed;
            failed.error = (i == 0 ? "chirp: " : "tones: ") + run.error;
            return failed;
        }
        recordings[i] = RecordingOf(run);
    }
    return FiguresOfChange(c, recordings[0], recordings[1], bRestamp);
}

RunFigures MeasureRun(const FilterMaker& make, const RunCase& c, bool bRestamp) {
    RunFigures figures;
    const Format& f = c.format;
    RunPlan plan;
    plan.format = f;
    plan.sampleFrames = size_t(std::llround(c.sampleSeconds * f.rate));
    plan.start = c.stretches.at(0).speed;
    std::vector<Stretch> stretches;
    size_t samples = 0;
    for (size_t i = 0; i < c.stretches.size(); ++i) {
        if (i > 0)
            plan.changes.push_back({samples, c.stretches[i].speed});
        const size_t n = size_t(std::llround(c.stretches[i].seconds / c.sampleSeconds));
        samples += n;
        stretches.push_back(
            {double(n * plan.sampleFrames) / f.rate, c.stretches[i].speed.Speeds().speed});
    }
    const size_t frames = samples * plan.sampleFrames;
    plan.input = Encode(ClickTones(f.rate, frames), f);
    RunRecord run;
    {
        ComPtr<IBaseFilter> filter = make();
        if (!filter) {
            figures.error = "no filter";
            return figures;
        }
        run = RunFilter(filter.Get(), plan);
    }
    if (!run.error.empty()) {
        figures.error = run.error;
        return figures;
    }
    const double bytesPerSecond = double(f.BlockAlign()) * f.rate;
    figures.outputSeconds = double(run.output.size()) / bytesPerSecond;
    figures.length = ExpectedLength(stretches);
    figures.lengthErrorMs = (figures.outputSeconds - figures.length.nominal) * 1000;
    const std::vector<double> wave = DecodeChannel(run.output, f);
    size_t quiet = 0;
    while (quiet < wave.size() && std::fabs(wave[wave.size() - 1 - quiet]) < 0.01)
        ++quiet;
    figures.trailingQuietMs = double(quiet) / f.rate * 1000;

    const std::vector<Span> inputs = InputSpans(frames, plan.sampleFrames, f.rate);
    std::vector<Span> outputs;
    for (const ReceivedSample& s : run.samples)
        outputs.push_back({s.tStart, s.tStop});
    figures.outputCount = outputs.size();
    figures.firstBadStamp = FirstBadStamp(outputs, inputs, bRestamp);
    if (!c.bSteps)
        return figures;
    // Each change from 50 ms before it to 50 ms after the output of the input held then, against
    // the steady state of the first and the last stretch (the tones' pitch is the same there as
    // at the changes between: runs of many changes change the tempo alone).
    const std::vector<size_t>& at = run.framesAtChange;
    auto windowEnd = [&](size_t j) {
        return double(at[j]) / f.rate +
               0.15 / std::min(stretches[j].speed, stretches[j + 1].speed) + 0.05;
    };
    std::vector<double> steady = LargestSteps(run.output.data(), run.output.size(), f, 0.1,
                                              double(at.front()) / f.rate - 0.05);
    const std::vector<double> last =
        LargestSteps(run.output.data(), run.output.size(), f, windowEnd(at.size() - 1),
                     figures.outputSeconds - 0.1);
    for (size_t ch = 0; ch < steady.size(); ++ch)
        steady[ch] = std::max(steady[ch], last[ch]);
    for (size_t j = 0; j < at.size(); ++j) {
        const StepFigures step = MeasureStep(run.output.data(), run.output.size(), f,
                                             double(at[j]) / f.rate - 0.05, windowEnd(j), steady);
        if (step.valid && step.ratio > figures.worstStep.ratio) {
            figures.worstStep = step;
            figures.worstStepChange = j;
        }
    }
    return figures;
}
