#include "JobInterrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> g_nSignal{0};
std::atomic<const char*> g_pszRemove{nullptr};
struct sigaction g_Previous[std::size(kSignals)];

void EndBy(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
}

// Only async-signal-safe calls: an atomic exchange, unlink, sigaction and raise.
extern "C" void OnSignal(int signal) {
    if (g_nSignal.exchange(signal) == 0)
        return;
    if (const char* path = g_pszRemove.load())
        unlink(path);
    EndBy(signal);
}

} // namespace

static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

CJobInterrupt::CJobInterrupt() noexcept {
    g_nSignal = 0;
    g_pszRemove = nullptr;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &g_Previous[i]);
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        if (g_Previous[i].sa_handler != SIG_IGN)
            sigaction(kSignals[i], &action, nullptr);
    }
}

CJobInterrupt::~CJobInterrupt() {
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &g_Previous[i], nullptr);
    g_pszRemove = nullptr;
}

bool CJobInterrupt::Requested() const noexcept {
    return g_nSignal.load() != 0;
}

void CJobInterrupt::RemoveOnSecond(const char* path) noexcept {
    g_pszRemove = path;
}

void CJobInterrupt::EndProcess() noexcept {
    const int signal = g_nSignal.load();
    EndBy(signal != 0 ? signal : SIGINT);
    _exit(128 + (signal != 0 ? signal : SIGINT)); // if the signal was blocked
}
