// The filter's transform path, driven through its input pin on the benchmark thread, as an
// upstream streaming thread drives it: at 1.0 against a plain memcpy of the same blocks, and
// at tempo 1.5 (compare with BM_BareSoundTouch of the engine benchmark). "allocs_per_block"
// counts heap allocations in the steady state of the loop.
#include "BenchGraph.h"

#include "posix/MemAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_cAllocations{0};

} // namespace

// Counts every allocation of the process, the module's included (it uses this operator new).
// GCC takes the malloc/free pair of a replaced operator new/delete for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    ++g_cAllocations;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

CModuleLoader& Module() {
    static CModuleLoader loader;
    loader.Load(VELOMIX_MODULE_PATH);
    return loader;
}

void BM_FilterTransform(benchmark::State& state) {
    const int64_t blockBytes = state.range(0);
    const double tempo = static_cast<double>(state.range(1)) / 100.0;
    ComPtr<IBaseFilter> filter;
    ComPtr<IVelomixProp> prop;
    if (!bench::CreateVelomix(Module(), filter, prop) || FAILED(prop->SetTempo(tempo))) {
        state.SkipWithError(("cannot make the filter: " + Module().Error()).c_str());
        return;
    }
    // A source with nothing of its own to send; the loop pushes samples into the filter.
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, bench::PcmType().Format(), sizeof(wfx));
    CPushSource::Options so;
    so.cbBuffer = static_cast<LONG>(blockBytes);
    bench::Chain chain;
    if (!bench::BuildChain(filter.Get(), std::make_unique<CPcmProvider>(wfx, std::vector<BYTE>()),
                           so, nullptr, &chain) ||
        FAILED(chain.graph->Pause())) {
        state.SkipWithError("cannot build the graph");
        return;
    }
    ComPtr<IMemInputPin> input;
    ComPtr<IMemAllocator> allocator;
    chain.in->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    input->GetAllocator(&allocator);

    const std::vector<uint8_t>& data = bench::Input();
    size_t at = 0;
    REFERENCE_TIME t = 0;
    const REFERENCE_TIME step = blockBytes * 10000000 / (bench::kRate * bench::kBlockAlign);
    auto pushOne = [&] {
        if (at + static_cast<size_t>(blockBytes) > data.size())
            at = 0;
        IMediaSample* pRaw = nullptr;
        allocator->GetBuffer(&pRaw, nullptr, nullptr, 0);
        ComPtr<IMediaSample> sample = ComPtr<IMediaSample>::Attach(pRaw);
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        std::memcpy(p, data.data() + at, static_cast<size_t>(blockBytes));
        sample->SetActualDataLength(static_cast<LONG>(blockBytes));
        REFERENCE_TIME stop = t + step;
        sample->SetTime(&t, &stop);
        t = stop;
        input->Receive(sample.Get());
        at += static_cast<size_t>(blockBytes);
    };
    for (int i = 0; i < 50; ++i)
        pushOne(); // past the engine's start-up and every buffer's first growth
    const long allocationsBefore = g_cAllocations.load();
    for (auto _ : state)
        pushOne();
    state.counters["allocs_per_block"] =
        static_cast<double>(g_cAllocations.load() - allocationsBefore) /
        static_cast<double>(state.iterations());
    bench::Report(state, blockBytes);
    chain.graph->Stop();
}

void BM_Memcpy(benchmark::State& state) {
    const int64_t blockBytes = state.range(0);
    const std::vector<uint8_t>& data = bench::Input();
    std::vector<uint8_t> out(static_cast<size_t>(blockBytes));
    size_t at = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(blockBytes) > data.size())
            at = 0;
        std::memcpy(out.data(), data.data() + at, out.size());
        benchmark::DoNotOptimize(out.data());
        at += static_cast<size_t>(blockBytes);
    }
    bench::Report(state, blockBytes);
}

BENCHMARK(BM_Memcpy)->ArgName("block_bytes")->Arg(bench::k4096Bytes)->Arg(bench::k100msBytes);
BENCHMARK(BM_FilterTransform)
    ->ArgNames({"block_bytes", "tempo_pct"})
    ->Args({bench::k4096Bytes, 100})
    ->Args({bench::k100msBytes, 100})
    ->Args({bench::k4096Bytes, 150})
    ->Args({bench::k100msBytes, 150});

} // namespace
