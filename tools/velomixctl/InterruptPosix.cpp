// Interrupts on POSIX: the signals are blocked in every thread and taken by one thread
// in sigwait(), which may then do what a signal handler may not (set the event).
#include "Interrupt.h"

#include <csignal>

#include <pthread.h>
#include <unistd.h>

#include "QThread.h"

namespace {

// SIGUSR2 only tells the waiting thread to end.
constexpr int kQuitSignal = SIGUSR2;

sigset_t WaitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kQuitSignal);
    return set;
}

class CSignalThread : public CQThread {
public:
    ~CSignalThread() override { Stop(); }

protected:
    void SignalStop() noexcept override { ::kill(::getpid(), kQuitSignal); }
};

CSignalThread g_signalThread;
sigset_t g_previousMask;

int WaitForSignal(void* pParam) {
    const sigset_t set = WaitedSignals();
    int signal = 0;
    while (sigwait(&set, &signal) == 0 && signal != kQuitSignal) {
        static_cast<CQNamedEvent*>(pParam)->Set();
    }
    return 1;
}

} // namespace

CInterruptEvent::CInterruptEvent() noexcept {
    const sigset_t set = WaitedSignals();
    if (!m_evInterrupt.Create(nullptr, true, false) ||
        pthread_sigmask(SIG_BLOCK, &set, &g_previousMask) != 0) {
        return;
    }
    m_bOpen = g_signalThread.Start(&m_evInterrupt, &WaitForSignal);
    if (!m_bOpen) {
        pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
    }
}

CInterruptEvent::~CInterruptEvent() {
    if (m_bOpen) {
        g_signalThread.Stop();
        // A SIGINT/SIGTERM still pending would now end the program: that is what it asked for.
        pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
    }
}
