// The filter's cross-process control channel end to end: the real filter, made by the loaded
// module's class factory, on one side; real processes (velomixctl, or this test binary in a
// child role) on the other. Each test has its own object directory (VELOMIX_IPC_DIR) and
// settings folder (XDG_CONFIG_HOME), both inherited by the processes it starts, and ends with
// no object of the module alive.
#pragma once

#include "filter/FilterTest.h"
#include "remote/RemoteTestSupport.h"
#include "VelomixClient.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// The tests' streams: 16-bit stereo at 44.1 kHz, in chunks of 10 or 100 ms.
constexpr DWORD kRate = 44100;
constexpr LONG kChunk10ms = 441 * 4;
constexpr LONG kChunk100ms = 4410 * 4;

// Tempo, rate and pitch as a filter holds them or the shared block shows them, in messages.
std::ostream& operator<<(std::ostream& os, const VelomixValues& v);

// Aborts the test binary with a message when a scope outlives its limit: a deadlock would
// otherwise hang until ctest's time-out without saying where.
class Watchdog {
public:
    Watchdog(std::string what, int limitMs);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::thread m_thread;
};

// An endless 440 Hz tone (16-bit stereo) in chunks of a fixed size, until Finish(); the
// stream then ends. Records the size of each output sample the sink receives, so that a test
// can tell which samples were processed at which speed.
class ToneLoop {
public:
    ToneLoop(const WAVEFORMATEX& wfx, LONG cbChunk);
    std::unique_ptr<CSampleProvider> Provider();
    // Sink options that record every output sample's size.
    CCollectingSink::Options SinkOptions();
    void Finish() { m_bFinish = true; }
    const WAVEFORMATEX& Format() const { return m_wfx; }
    LONG ChunkBytes() const { return m_cbChunk; }

    // Output samples received so far.
    size_t Received();
    // Waits until n output samples have arrived; false after timeoutMs.
    bool WaitForReceived(size_t n, int timeoutMs = kHangMs);
    // Output bytes per input byte over samples [first, last).
    double Ratio(size_t first, size_t last);
    // True when every sample in [first, last) carries exactly a chunk (a copy at normal speed).
    bool AllWholeChunks(size_t first, size_t last);

private:
    class CLoopProvider;
    const WAVEFORMATEX m_wfx;
    const LONG m_cbChunk;
    std::vector<uint8_t> m_Tone; // one second, looped
    std::atomic<bool> m_bFinish{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<LONG> m_Sizes;
};

class ControlChannelTest : public FilterTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new filter whose thread has announced that it serves requests.
    ComPtr<IBaseFilter> CreateServingFilter();
    // tone -> a new filter -> sink, connected, stopped. Buffers of four chunks leave room for
    // what a slowed-down chunk becomes.
    Chain BuildToneChain(ToneLoop& tone);
    // Ends the tone: the stream completes and the graph stops.
    static void FinishTone(ToneLoop& tone, Chain& c);
    static VelomixValues ValuesOf(IVelomixProp* pProp);
    // The values in the shared block (a failure when there is none).
    static VelomixValues SharedBlockValues();
    // Waits for change notifications on evChange (a "VELFilter_CLI" handle) until the filter
    // holds these values and the block shows them; false after kHangMs without one.
    static bool WaitUntilInForce(CQNamedEvent& evChange, IVelomixProp* pProp,
                                 const VelomixValues& v);
    // Runs velomixctl to its end: its exit code (-1 when it could not start).
    int Ctl(const std::vector<std::string>& args);
    // Runs this binary in a child role to its end: the exit code (-1 when it had to be killed
    // after timeoutMs).
    int RunRole(const std::string& role, const std::vector<std::string>& args,
                int timeoutMs = kHangMs);
    // The output of the last process run by Ctl or RunRole.
    const std::string& Out() const { return m_last->Stdout(); }
    const std::string& Err() const { return m_last->Stderr(); }
    // A role's argument for a double, exact and readable by strtod ("nan", "inf" included).
    static std::string Arg(double d);

private:
    std::unique_ptr<ScopedIpcDir> m_ipc;
    std::unique_ptr<ChildProcess> m_last;
    int Finish(std::unique_ptr<ChildProcess> child, int timeoutMs = kHangMs);
};

// Creates (or opens) an auto-reset event as a control program does.
#define CHANNEL_EVENT(var, name)                                                                   \
    CQNamedEvent var;                                                                              \
    ASSERT_TRUE(var.Create(name, false, false))
