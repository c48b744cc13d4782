// Soak: hours of audio streamed at tempo 0.5 through the filter in a graph, as the host runs it
// (a source thread that fills every 100 ms buffer, the filter, a sink that keeps nothing), with
// the process's memory read at 1, 5 and 10 hours of input. Flat figures mean nothing on the way
// keeps a record per sample or lets a buffer grow with the run's length.
//
//   build/release/bench/velomix_bench --benchmark_filter=Soak
#include "BenchGraph.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

constexpr int kCheckpointHours[] = {1, 5, 10};

// A /proc/self/status field in kB ("VmHWM" is the peak resident set, "VmRSS" the current one).
double StatusMegabytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stod(line.substr(key.size())) / 1024.0;
    }
    return 0;
}

// The benchmark's input looped for a given number of hours, every buffer filled to the last
// whole frame; notes the memory figures as the input passes each checkpoint.
class CLoopProvider final : public CSampleProvider {
public:
    explicit CLoopProvider(int hours)
        : m_cFrames(static_cast<LONGLONG>(hours) * 3600 * bench::kRate) {}

    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        if (m_Next >= m_cFrames)
            return S_FALSE;
        const std::vector<uint8_t>& data = bench::Input();
        const LONGLONG cFrames =
            std::min<LONGLONG>(cbBuffer / bench::kBlockAlign, m_cFrames - m_Next);
        size_t at =
            static_cast<size_t>(m_Next * bench::kBlockAlign % static_cast<LONGLONG>(data.size()));
        for (LONG done = 0; done < cFrames * bench::kBlockAlign;) {
            const LONG cb = static_cast<LONG>(
                std::min<size_t>(data.size() - at, cFrames * bench::kBlockAlign - done));
            std::memcpy(pBuffer + done, data.data() + at, static_cast<size_t>(cb));
            done += cb;
            at = 0;
        }
        *pChunk = SourceChunk{};
        pChunk->cbData = static_cast<LONG>(cFrames * bench::kBlockAlign);
        pChunk->bTimeValid = true;
        pChunk->tStart = CPcmProvider::FrameTime(m_Next, bench::kRate);
        pChunk->tStop = CPcmProvider::FrameTime(m_Next + cFrames, bench::kRate);
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_Next == 0;
        m_Next += cFrames;
        for (size_t i = 0; i < std::size(kCheckpointHours); ++i) {
            if (m_PeakMb[i] == 0 &&
                m_Next >= static_cast<LONGLONG>(kCheckpointHours[i]) * 3600 * bench::kRate) {
                m_PeakMb[i] = StatusMegabytes("VmHWM");
                m_RssMb[i] = StatusMegabytes("VmRSS");
            }
        }
        return S_OK;
    }

    double PeakMb(size_t i) const { return m_PeakMb[i]; }
    double RssMb(size_t i) const { return m_RssMb[i]; }

private:
    const LONGLONG m_cFrames;
    LONGLONG m_Next = 0;
    std::atomic<double> m_PeakMb[std::size(kCheckpointHours)] = {};
    std::atomic<double> m_RssMb[std::size(kCheckpointHours)] = {};
};

void BM_SoakTempoHalf(benchmark::State& state) {
    const int hours = static_cast<int>(state.range(0));
    static CModuleLoader loader;
    loader.Load(VELOMIX_MODULE_PATH);
    for (auto _ : state) {
        ComPtr<IBaseFilter> filter;
        ComPtr<IVelomixProp> prop;
        if (!bench::CreateVelomix(loader, filter, prop) || FAILED(prop->SetTempo(0.5))) {
            state.SkipWithError(("cannot make the filter: " + loader.Error()).c_str());
            return;
        }
        auto provider = std::make_unique<CLoopProvider>(hours);
        CLoopProvider* pProvider = provider.get();
        CPushSource::Options so;
        so.cbBuffer = static_cast<LONG>(bench::k100msBytes);
        so.cBuffers = 4;
        bench::Chain chain;
        if (!bench::BuildChain(filter.Get(), std::move(provider), so, nullptr, &chain)) {
            state.SkipWithError("cannot build the graph");
            return;
        }
        state.counters["rss_start_MB"] = StatusMegabytes("VmRSS");
        LONG code = 0;
        if (FAILED(chain.graph->Run()) ||
            FAILED(chain.graph->WaitForCompletion(DWORD(24) * 3600 * 1000, &code)) ||
            code != EC_COMPLETE) {
            state.SkipWithError("the stream did not complete");
            return;
        }
        chain.graph->Stop();
        for (size_t i = 0; i < std::size(kCheckpointHours); ++i) {
            if (kCheckpointHours[i] > hours)
                continue;
            const std::string h = std::to_string(kCheckpointHours[i]) + "h";
            state.counters["peak_MB_" + h] = pProvider->PeakMb(i);
            state.counters["rss_MB_" + h] = pProvider->RssMb(i);
        }
        state.counters["output_samples"] =
            static_cast<double>(chain.sink->Count(SinkEvent::Sample));
        state.counters["audio_s"] =
            benchmark::Counter(static_cast<double>(hours) * 3600, benchmark::Counter::kIsRate);
    }
}

BENCHMARK(BM_SoakTempoHalf)
    ->ArgName("hours")
    ->Arg(10)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace
