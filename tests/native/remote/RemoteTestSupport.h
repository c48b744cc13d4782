// Helpers of the remote tests: a private object directory per test, child processes (this
// test binary in a helper role, or velomixctl), and a fake speed filter.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommServer.h"
#include "IVelomixProp.h"
#include "NamedObjects.h"

// Generous limit for anything that should happen promptly; reaching it means a hang or a
// lost wake-up, never slowness.
constexpr int kHangMs = 20000;

// A private VELOMIX_IPC_DIR for the life of the object (inherited by the children started
// meanwhile); the previous value comes back and the directory goes afterwards. Path() is
// empty (and the test has failed) when the directory could not be made.
class ScopedIpcDir {
public:
    ScopedIpcDir();
    ~ScopedIpcDir();
    ScopedIpcDir(const ScopedIpcDir&) = delete;
    ScopedIpcDir& operator=(const ScopedIpcDir&) = delete;
    const std::string& Path() const { return m_dir; }

private:
    std::string m_dir;
    std::string m_previous;
    bool m_bHadPrevious = false;
};

// Each test gets its own VELOMIX_IPC_DIR.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string& IpcDir() const { return m_dir->Path(); }

private:
    std::unique_ptr<ScopedIpcDir> m_dir;
};

// Child roles: this test binary, started by ChildProcess::StartRole, runs the role named in
// VELOMIX_TEST_CHILD_ROLE before main (RemoteTestSupport.cpp dispatches it) and exits with
// the role's result, kUnknownRole for a role it does not know.
constexpr int kUnknownRole = 98;
// The roles of this test binary: each binary that links RemoteTestSupport.cpp defines it.
int RunGroupRole(const std::string& role, const std::vector<std::string>& args);
// The roles of RemoteChildRoles.cpp: control-program stand-ins and a server over a fake filter.
int RunRemoteRole(const std::string& role, const std::vector<std::string>& args);

// A copy of a program in a private folder of mode 0755 under /tmp, for running it as another
// user, who may not reach the build (a checkout under a home folder of mode 0700). Path() is
// empty, and Problem() says why, when the copy could not be made. The folder goes afterwards.
class ReachableCopy {
public:
    explicit ReachableCopy(const std::string& program);
    ~ReachableCopy();
    ReachableCopy(const ReachableCopy&) = delete;
    ReachableCopy& operator=(const ReachableCopy&) = delete;
    const std::string& Path() const { return m_path; }
    const std::string& Problem() const { return m_problem; }

private:
    std::string m_dir;
    std::string m_path;
    std::string m_problem;
};

// A child process with pipes on its stdin, stdout and stderr. The destructor kills and reaps
// a child still running.
class ChildProcess {
public:
    // Starts this test binary in a helper role (see RemoteChildRoles.cpp) with arguments.
    static std::unique_ptr<ChildProcess> StartRole(const std::string& role,
                                                   const std::vector<std::string>& args = {});
    // Starts velomixctl with arguments; null (and a test failure) when it cannot be found.
    static std::unique_ptr<ChildProcess> StartCtl(const std::vector<std::string>& args);
    // Path of velomixctl: $VELOMIXCTL, else beside this build's tools; empty if absent.
    static std::string CtlPath();

    ChildProcess() = default; // use the Start functions
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Next line of the child's stdout (without the newline); false on end of file or after
    // timeoutMs.
    bool ReadLine(std::string& line, int timeoutMs = kHangMs);
    // Reads lines until one equals want; false if it never comes.
    bool WaitForLine(const std::string& want, int timeoutMs = kHangMs);
    void WriteLine(const std::string& line);
    void CloseStdin();
    void Signal(int signal);
    // Waits for the end (reading all output); the exit code, 128 + signal when killed, or -1
    // when it did not end within timeoutMs (it is then killed).
    int Wait(int timeoutMs = kHangMs);
    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }
    pid_t Pid() const { return m_pid; }

private:
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& extraEnv);
    // Moves available output into the buffers; false when both pipes are at end of file.
    bool Pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdoutFd = -1;
    int m_stderrFd = -1;
    std::string m_stdout;
    std::string m_stderr;
    size_t m_consumed = 0; // of m_stdout, by ReadLine
    int m_status = -1;
};

// Stands in for the speed filter: the three values under a recursive lock, the filter's
// accepted ranges, and a publication to the server on every effective change while holding
// the lock, as the real filter does.
class FakeFilter : public IVelomixProp, public IVelomixSpeedOwner {
public:
    explicit FakeFilter(double dTempo = 1.0, double dRate = 1.0, int nPitch = 0);

    // The server to notify; null for none.
    void Attach(CVelomixCommServer* pServer);

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(SetTempo)(double dTempo) override;
    STDMETHOD(GetTempo)(double* pdTempo) override;
    STDMETHOD(SetRate)(double dRate) override;
    STDMETHOD(GetRate)(double* pdRate) override;
    STDMETHOD(SetPitch)(int nPitch) override;
    STDMETHOD(GetPitch)(int* pnPitch) override;

    // A request's three values at once, or none (each in its range), counted as one change.
    VelomixValues SpeedInForce() noexcept override;
    void ExchangeSpeed(CVelomixSpeedExchange& exchange) noexcept override;
    // Requests the server handed over, applied or refused.
    int Requests();

    double Tempo();
    double Rate();
    int Pitch();
    // Setter calls so far, effective or not.
    int SetterCalls();
    // Effective changes so far.
    int Changes();
    // Every tempo that was stored, in order.
    std::vector<double> TempoHistory();
    // Every combination that was in force, in order, the first included.
    std::vector<VelomixValues> History();
    // Runs hook once, at the next read of the values in force (SpeedInForce, which publications
    // make), after the values are read and outside the filter's lock.
    void OnNextRead(std::function<void()> hook);
    // Holds the filter's lock (the speed lock the server takes a request under) while it lives.
    std::unique_lock<std::recursive_mutex> Hold() {
        return std::unique_lock<std::recursive_mutex>(m_lock);
    }
    // Waits until pred() holds (evaluated under the filter's lock); false after timeoutMs.
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kHangMs);
    // AddRef/Release balance; the server must not change it.
    long References() const { return m_references; }

private:
    template <typename T> HRESULT Store(T& field, T value, bool bValid, bool bTempo = false);

    std::recursive_mutex m_lock;
    std::condition_variable_any m_changed;
    CVelomixCommServer* m_pServer = nullptr;
    double m_dTempo;
    double m_dRate;
    int m_nPitch;
    int m_nSetterCalls = 0;
    int m_nChanges = 0;
    int m_nRequests = 0;
    std::vector<double> m_tempoHistory;
    std::vector<VelomixValues> m_history;
    std::function<void()> m_readHook;
    long m_references = 0;
};

// Reads the block's three values (under the named mutex), for checks from the test process.
struct BlockValues {
    uint32_t dwHeader = 0;
    double dTempo = 0.0;
    double dRate = 0.0;
    int32_t nPitch = 0;
};
// False when no block exists.
bool ReadBlock(BlockValues& values);
// Places a request as a control program does (PlaceRequest); false when the block or
// "VELFilter_SVR" is missing.
bool SendRequest(double dTempo, double dRate, int32_t nPitch);
// Waits for change notifications on evChange (a "VELFilter_CLI" handle) until the block holds
// these values; false after kHangMs without a notification.
bool WaitForBlock(CQNamedEvent& evChange, double dTempo, double dRate, int32_t nPitch);
