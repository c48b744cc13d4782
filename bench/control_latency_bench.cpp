// The time from `velomixctl set --tempo X` to X being in force in a running filter of this
// process, over 100 changes alternating between 2.0 and 1.0, in milliseconds from the start of
// velomixctl:
//   get    GetTempo first returns X (polled every 50 us);
//   stream the first output sample processed at X reaches the sink. The source runs in real
//          time, one 10 ms sample after another as a player's would, so this includes the wait
//          for the next sample (0 to 10 ms);
//   ctl    velomixctl has ended (it waits for the filter's publication of X).
// Each is reported as median and 90th percentile.
#include "BenchGraph.h"
#include "NamedObjects.h"
#include "SharedBlock.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 100;
// The source offers bench::PcmType(), 16-bit stereo.
constexpr DWORD kRate = bench::kRate;
constexpr WORD kBlockAlign = bench::kBlockAlign;
constexpr LONG kChunk = kRate / 100 * kBlockAlign; // 10 ms
constexpr auto kChunkTime = std::chrono::milliseconds(10);

// One second of a 440 Hz tone: a whole number of chunks.
const std::vector<BYTE>& Tone() {
    static const std::vector<BYTE> tone = [] {
        std::vector<BYTE> b(kRate * kBlockAlign);
        for (size_t f = 0; f < kRate; ++f) {
            const auto v = static_cast<int16_t>(
                std::lround(16000.0 * std::sin(2 * M_PI * 440.0 * double(f) / kRate)));
            std::memcpy(&b[f * 4], &v, 2);
            std::memcpy(&b[f * 4 + 2], &v, 2);
        }
        return b;
    }();
    return tone;
}

// The tone in 10 ms chunks, one per 10 ms of wall time, until stopped.
class PacedTone final : public CSampleProvider {
public:
    explicit PacedTone(std::atomic<bool>& bStop) : m_bStop(bStop) {}
    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        if (m_bStop || cbBuffer < kChunk)
            return S_FALSE;
        if (m_Next == Clock::time_point())
            m_Next = Clock::now();
        std::this_thread::sleep_until(m_Next);
        m_Next += kChunkTime;
        const std::vector<BYTE>& tone = Tone();
        std::memcpy(pBuffer, tone.data() + (m_Chunk * kChunk) % tone.size(), kChunk);
        pChunk->cbData = kChunk;
        pChunk->bTimeValid = true;
        pChunk->tStart = CPcmProvider::FrameTime(m_Chunk * (kChunk / kBlockAlign), kRate);
        pChunk->tStop = CPcmProvider::FrameTime((m_Chunk + 1) * (kChunk / kBlockAlign), kRate);
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_Chunk == 0;
        ++m_Chunk;
        return S_OK;
    }

private:
    std::atomic<bool>& m_bStop;
    Clock::time_point m_Next{};
    LONGLONG m_Chunk = 0;
};

// What the sink saw: for each output sample, when it arrived and whether it was a plain copy
// of its input (the filter at normal speed) or processed.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<Clock::time_point, bool>> samples;

    // The first arrival at or after t0 of the given kind (until the change, every sample is
    // of the other kind); waits up to 2 s for it.
    bool FirstSince(Clock::time_point t0, bool bCopy, Clock::time_point& when) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(2), [&] {
            for (const auto& sample : samples) {
                if (sample.first >= t0 && sample.second == bCopy) {
                    when = sample.first;
                    return true;
                }
            }
            return false;
        });
    }
};

std::string VelomixctlPath() {
    if (const char* env = std::getenv("VELOMIXCTL"))
        return env;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path() / ".." / "tools" / "velomixctl" / "velomixctl").string();
}

pid_t StartCtl(const std::string& path, const std::string& tempo) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{path, "set", "--tempo", tempo};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i =
        std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * double(v.size())) - 1));
    return v[i];
}

void BM_ControlLatency(benchmark::State& state) {
    // A private object directory and settings folder, so that no other filter or settings file
    // takes part.
    char ipcDir[] = "/tmp/velomix-latency-ipc-XXXXXX";
    char configDir[] = "/tmp/velomix-latency-config-XXXXXX";
    if (!mkdtemp(ipcDir) || !mkdtemp(configDir)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    setenv("VELOMIX_IPC_DIR", ipcDir, 1);
    setenv("XDG_CONFIG_HOME", configDir, 1);
    const std::string ctl = VelomixctlPath();
    std::vector<double> get, stream, exited;
    {
        CModuleLoader module;
        CQNamedEvent evArrival;
        ComPtr<IBaseFilter> filter;
        ComPtr<IVelomixProp> prop;
        evArrival.Create(kVelomixArrivalEventName, false, false);
        if (!module.Load(VELOMIX_MODULE_PATH) || !bench::CreateVelomix(module, filter, prop) ||
            !evArrival.Wait(5000)) {
            state.SkipWithError("cannot make a serving filter");
            return;
        }
        std::atomic<bool> bStop{false};
        Arrivals arrivals;
        LONGLONG received = 0;
        auto onSample = [&](IMediaSample*, const ReceivedSample& s) -> HRESULT {
            const std::vector<BYTE>& tone = Tone();
            const bool bCopy =
                s.lActual == kChunk &&
                std::memcmp(s.data.data(), tone.data() + (received * kChunk) % tone.size(),
                            kChunk) == 0;
            ++received;
            {
                std::lock_guard<std::mutex> lock(arrivals.mutex);
                arrivals.samples.emplace_back(Clock::now(), bCopy);
            }
            arrivals.cv.notify_all();
            return S_OK;
        };
        CPushSource::Options so;
        so.cbBuffer = 4 * kChunk;
        bench::Chain chain;
        if (!bench::BuildChain(filter.Get(), std::make_unique<PacedTone>(bStop), so, onSample,
                               &chain) ||
            FAILED(chain.graph->Run())) {
            state.SkipWithError("cannot run the graph");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::mt19937 gen(3);
        std::uniform_int_distribution<int> jitter(0, 9999);
        for (auto _ : state) {
            for (int round = 0; round < kRounds; ++round) {
                const double dTarget = round % 2 == 0 ? 2.0 : 1.0;
                const Clock::time_point t0 = Clock::now();
                const pid_t pid = StartCtl(ctl, dTarget == 2.0 ? "2" : "1");
                if (pid < 0) {
                    state.SkipWithError(("cannot start " + ctl).c_str());
                    break;
                }
                Clock::time_point tGet{}, tExit{};
                for (;;) {
                    double dNow = 0;
                    prop->GetTempo(&dNow);
                    if (tGet == Clock::time_point() && dNow == dTarget)
                        tGet = Clock::now();
                    int status = 0;
                    if (tExit == Clock::time_point() && waitpid(pid, &status, WNOHANG) == pid) {
                        tExit = Clock::now();
                        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                            state.SkipWithError("velomixctl failed");
                            break;
                        }
                    }
                    if (tGet != Clock::time_point() && tExit != Clock::time_point())
                        break;
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
                Clock::time_point tStream{};
                if (!arrivals.FirstSince(t0, dTarget == 1.0, tStream)) {
                    state.SkipWithError("the stream never showed the change");
                    break;
                }
                get.push_back(Ms(tGet - t0));
                stream.push_back(Ms(tStream - t0));
                exited.push_back(Ms(tExit - t0));
                // A pause of 30 to 40 ms, so that the changes fall at every phase of the
                // source's 10 ms period rather than locking onto one.
                std::this_thread::sleep_for(std::chrono::microseconds(30000 + jitter(gen)));
            }
        }
        bStop = true;
        chain.graph->Stop();
        // Leaving the block releases the chain, the filter, the event and the module, in that
        // order.
    }
    if (!get.empty()) {
        state.counters["get_median_ms"] = Percentile(get, 0.5);
        state.counters["get_p90_ms"] = Percentile(get, 0.9);
        state.counters["stream_median_ms"] = Percentile(stream, 0.5);
        state.counters["stream_p90_ms"] = Percentile(stream, 0.9);
        state.counters["ctl_median_ms"] = Percentile(exited, 0.5);
        state.counters["ctl_p90_ms"] = Percentile(exited, 0.9);
        state.counters["changes"] = static_cast<double>(get.size());
    }
    std::error_code ec;
    std::filesystem::remove_all(ipcDir, ec);
    std::filesystem::remove_all(configDir, ec);
    unsetenv("VELOMIX_IPC_DIR");
    unsetenv("XDG_CONFIG_HOME");
}

BENCHMARK(BM_ControlLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
