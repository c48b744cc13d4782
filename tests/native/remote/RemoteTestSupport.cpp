#include <iostream> // the streams are ready before a role runs (roles read std::cin)

#include "RemoteTestSupport.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "NamedObjects.h"
#include "SharedBlock.h"
#include "VelomixClient.h"

extern char** environ;

// ---------------------------------------------------------------------------------------------
// ScopedIpcDir, IpcTest

ScopedIpcDir::ScopedIpcDir() {
    char templ[] = "/tmp/velomix-remote-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    m_dir = templ;
    const char* previous = std::getenv("VELOMIX_IPC_DIR");
    m_bHadPrevious = previous != nullptr;
    if (m_bHadPrevious) {
        m_previous = previous;
    }
    setenv("VELOMIX_IPC_DIR", m_dir.c_str(), 1);
}

ScopedIpcDir::~ScopedIpcDir() {
    if (m_dir.empty()) {
        return;
    }
    if (m_bHadPrevious) {
        setenv("VELOMIX_IPC_DIR", m_previous.c_str(), 1);
    } else {
        unsetenv("VELOMIX_IPC_DIR");
    }
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void IpcTest::SetUp() {
    m_dir = std::make_unique<ScopedIpcDir>();
    ASSERT_FALSE(m_dir->Path().empty());
}

void IpcTest::TearDown() {
    m_dir.reset();
}

// ---------------------------------------------------------------------------------------------
// ReachableCopy

ReachableCopy::ReachableCopy(const std::string& program) {
    namespace fs = std::filesystem;
    char templ[] = "/tmp/velomix-program-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        m_problem = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    m_dir = templ;
    std::error_code ec;
    const fs::path copy = fs::path(m_dir) / fs::path(program).filename();
    fs::copy_file(program, copy, ec);
    if (!ec) {
        fs::permissions(copy, static_cast<fs::perms>(0755), ec);
    }
    if (!ec) {
        fs::permissions(m_dir, static_cast<fs::perms>(0755), ec);
    }
    if (ec) {
        m_problem = "cannot copy " + program + ": " + ec.message();
        return;
    }
    m_path = copy.string();
}

ReachableCopy::~ReachableCopy() {
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

// ---------------------------------------------------------------------------------------------
// ChildProcess

namespace {

std::string SelfPath() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::unique_ptr<ChildProcess> ChildProcess::StartRole(const std::string& role,
                                                      const std::vector<std::string>& args) {
    std::vector<std::string> argv{SelfPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    // Should the role not be run, the child must not run every test in its place (each of
    // which would start children of its own): it runs none.
    return Start(argv, {"VELOMIX_TEST_CHILD_ROLE=" + role, "GTEST_FILTER=-*"});
}

std::string ChildProcess::CtlPath() {
    const char* env = std::getenv("VELOMIXCTL");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path =
        fs::path(SelfPath()).parent_path() / ".." / ".." / "tools" / "velomixctl" / "velomixctl";
    return fs::exists(path, ec) ? fs::canonical(path, ec).string() : std::string();
}

std::unique_ptr<ChildProcess> ChildProcess::StartCtl(const std::vector<std::string>& args) {
    const std::string path = CtlPath();
    if (path.empty()) {
        ADD_FAILURE() << "velomixctl not found; set VELOMIXCTL";
        return nullptr;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    return Start(argv, {});
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const std::vector<std::string>& extraEnv) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        if (std::strncmp(*p, "VELOMIX_TEST_CHILD_ROLE=", 24) != 0 &&
            std::strncmp(*p, "GTEST_FILTER=", 13) != 0) {
            env.emplace_back(*p);
        }
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& s : env) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    auto child = std::make_unique<ChildProcess>();
    const int rc = posix_spawn(&child->m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    child->m_stdin = in[1];
    child->m_stdoutFd = out[0];
    child->m_stderrFd = err[0];
    if (rc != 0) {
        child->m_pid = -1;
        ADD_FAILURE() << "posix_spawn " << argp[0] << ": " << std::strerror(rc);
        return nullptr;
    }
    return child;
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && m_status < 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_stdin, m_stdoutFd, m_stderrFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool ChildProcess::Pump(int timeoutMs) {
    pollfd fds[2];
    nfds_t count = 0;
    for (int fd : {m_stdoutFd, m_stderrFd}) {
        if (fd >= 0) {
            fds[count].fd = fd;
            fds[count].events = POLLIN;
            ++count;
        }
    }
    if (count == 0) {
        return false;
    }
    const int rc = poll(fds, count, timeoutMs);
    if (rc <= 0) {
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        const bool bOut = fds[i].fd == m_stdoutFd;
        if (n > 0) {
            (bOut ? m_stdout : m_stderr).append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(fds[i].fd);
            (bOut ? m_stdoutFd : m_stderrFd) = -1;
        }
    }
    return m_stdoutFd >= 0 || m_stderrFd >= 0;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t newline = m_stdout.find('\n', m_consumed);
        if (newline != std::string::npos) {
            line = m_stdout.substr(m_consumed, newline - m_consumed);
            m_consumed = newline + 1;
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0 || m_stdoutFd < 0) {
            return false;
        }
        Pump(static_cast<int>(left));
    }
}

bool ChildProcess::WaitForLine(const std::string& want, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    std::string line;
    while (ReadLine(line, static_cast<int>(std::max<int64_t>(0, deadline - NowMs())))) {
        if (line == want) {
            return true;
        }
    }
    return false;
}

void ChildProcess::WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    // A child that already ended must not end the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (m_stdin >= 0) {
        ASSERT_EQ(write(m_stdin, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
}

void ChildProcess::CloseStdin() {
    if (m_stdin >= 0) {
        close(m_stdin);
        m_stdin = -1;
    }
}

void ChildProcess::Signal(int sig) {
    if (m_pid > 0 && m_status < 0) {
        kill(m_pid, sig);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    if (m_status >= 0) {
        return m_status;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    while (Pump(static_cast<int>(std::max<int64_t>(0, deadline - NowMs())))) {
        if (NowMs() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_status = INT_MAX;
            return -1;
        }
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

// ---------------------------------------------------------------------------------------------
// Child roles

namespace {

[[noreturn]] void ExitChild(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

// Runs the role asked for, if any, and exits; returns 0 otherwise. Here, beside StartRole, so
// that every binary that can start a role also runs it.
int RunChildRoleIfAsked() {
    const char* role = std::getenv("VELOMIX_TEST_CHILD_ROLE");
    if (role == nullptr) {
        return 0;
    }
    std::vector<std::string> args;
    std::string cmdline;
    // Arguments come from /proc: main has not run yet.
    if (FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) {
            cmdline.push_back(static_cast<char>(c));
        }
        std::fclose(f);
    }
    for (size_t pos = cmdline.find('\0'); pos != std::string::npos && pos + 1 < cmdline.size();) {
        const size_t next = cmdline.find('\0', pos + 1);
        args.push_back(cmdline.substr(pos + 1, next - pos - 1));
        pos = next;
    }
    int code = kUnknownRole;
    try {
        code = RunGroupRole(role, args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "role %s: %s\n", role, e.what());
        ExitChild(99);
    }
    if (code == kUnknownRole) {
        std::fprintf(stderr, "unknown role %s\n", role);
    }
    ExitChild(code);
}

[[maybe_unused]] const int g_roleDispatch = RunChildRoleIfAsked();

} // namespace

// ---------------------------------------------------------------------------------------------
// FakeFilter

FakeFilter::FakeFilter(double dTempo, double dRate, int nPitch)
    : m_dTempo(dTempo), m_dRate(dRate),
      m_nPitch(nPitch), m_history{VelomixValues{dTempo, dRate, nPitch}} {}

void FakeFilter::Attach(CVelomixCommServer* pServer) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_pServer = pServer;
}

HRESULT FakeFilter::QueryInterface(REFIID /*riid*/, void** ppv) {
    if (ppv != nullptr) {
        *ppv = nullptr;
    }
    return E_NOINTERFACE;
}

ULONG FakeFilter::AddRef() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return static_cast<ULONG>(++m_references);
}

ULONG FakeFilter::Release() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return static_cast<ULONG>(--m_references);
}

template <typename T> HRESULT FakeFilter::Store(T& field, T value, bool bValid, bool bTempo) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    ++m_nSetterCalls;
    if (bValid && field != value) {
        field = value;
        ++m_nChanges;
        if (bTempo) {
            m_tempoHistory.push_back(m_dTempo);
        }
        m_history.push_back(VelomixValues{m_dTempo, m_dRate, m_nPitch});
        if (m_pServer != nullptr) {
            m_pServer->Publish(); // under the lock, as the filter's setters do
        }
    }
    m_changed.notify_all();
    return bValid ? S_OK : E_INVALIDARG;
}

namespace {
bool ValidFactor(double d) {
    return std::isfinite(d) && d >= 0.05 && d <= 50.0;
}
} // namespace

HRESULT FakeFilter::SetTempo(double dTempo) {
    return Store(m_dTempo, dTempo, ValidFactor(dTempo), true);
}
HRESULT FakeFilter::SetRate(double dRate) {
    return Store(m_dRate, dRate, ValidFactor(dRate));
}
HRESULT FakeFilter::SetPitch(int nPitch) {
    return Store(m_nPitch, nPitch, nPitch >= -60 && nPitch <= 60);
}

VelomixValues FakeFilter::SpeedInForce() noexcept {
    VelomixValues values;
    std::function<void()> hook;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        values = VelomixValues{m_dTempo, m_dRate, m_nPitch};
        hook.swap(m_readHook);
    }
    if (hook) {
        hook();
    }
    return values;
}

void FakeFilter::OnNextRead(std::function<void()> hook) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_readHook = std::move(hook);
}

void FakeFilter::ExchangeSpeed(CVelomixSpeedExchange& exchange) noexcept {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    VelomixValues request;
    HRESULT hr = S_FALSE;
    if (exchange.Take(request)) {
        ++m_nRequests;
        hr = ValidFactor(request.dTempo) && ValidFactor(request.dRate) && request.nPitch >= -60 &&
                     request.nPitch <= 60
                 ? S_FALSE
                 : E_INVALIDARG;
        if (hr == S_FALSE && SpeedInForce() != request) {
            hr = S_OK;
            if (m_dTempo != request.dTempo) {
                m_tempoHistory.push_back(request.dTempo);
            }
            m_dTempo = request.dTempo;
            m_dRate = request.dRate;
            m_nPitch = request.nPitch;
            ++m_nChanges;
            m_history.push_back(request);
        }
    }
    exchange.Answer(SpeedInForce(), hr);
    m_changed.notify_all();
}

std::vector<VelomixValues> FakeFilter::History() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_history;
}

int FakeFilter::Requests() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_nRequests;
}

HRESULT FakeFilter::GetTempo(double* pdTempo) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    *pdTempo = m_dTempo;
    return S_OK;
}

HRESULT FakeFilter::GetRate(double* pdRate) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    *pdRate = m_dRate;
    return S_OK;
}

HRESULT FakeFilter::GetPitch(int* pnPitch) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    *pnPitch = m_nPitch;
    return S_OK;
}

double FakeFilter::Tempo() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_dTempo;
}

double FakeFilter::Rate() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_dRate;
}

int FakeFilter::Pitch() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_nPitch;
}

int FakeFilter::SetterCalls() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_nSetterCalls;
}

int FakeFilter::Changes() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_nChanges;
}

std::vector<double> FakeFilter::TempoHistory() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_tempoHistory;
}

bool FakeFilter::WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    std::unique_lock<std::recursive_mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

// ---------------------------------------------------------------------------------------------
// Block access

bool ReadBlock(BlockValues& values) {
    CQShareMemory block;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize)) {
        return false;
    }
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
    if (!guard) {
        return false;
    }
    values.dwHeader = block.StoredDataSize();
    VelomixValues read;
    if (!ReadBlockValues(block, read)) {
        return false;
    }
    values.dTempo = read.dTempo;
    values.dRate = read.dRate;
    values.nPitch = read.nPitch;
    return true;
}

bool SendRequest(double dTempo, double dRate, int32_t nPitch) {
    CQShareMemory block;
    CQNamedEvent evRequest;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        !evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return false;
    }
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
    return guard && PlaceRequest(block, evRequest, VelomixValues{dTempo, dRate, nPitch});
}

bool WaitForBlock(CQNamedEvent& evChange, double dTempo, double dRate, int32_t nPitch) {
    CVelomixClient client;
    const VelomixValues want{dTempo, dRate, nPitch};
    for (;;) {
        VelomixValues now;
        if (client.Read(now, kHangMs) == VelomixStatus::Ok && now == want) {
            return true;
        }
        if (!evChange.Wait(kHangMs)) {
            return false;
        }
    }
}
