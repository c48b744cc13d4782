// CQThread: owns one worker thread that runs up to three callbacks.
//
// The worker calls the start callback, then (if that returned nonzero) the run callback,
// then (if that returned nonzero) the end callback, and ends. A callback receives the
// parameter given to Start; it must not throw (an exception ends the thread quietly).
//
// Threads: Start and Stop are called from the owner's thread, never from the worker. A
// derived class that overrides SignalStop must call Stop in its own destructor: by the time
// ~CQThread runs, only the empty base SignalStop is left, and the join then waits for the
// callbacks to return by themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Object.h"

namespace velomix_thread {
// The platform thread; defined by the platform implementation.
struct PlatformThread;
struct PlatformThreadCloser {
    void operator()(PlatformThread* pThread) const noexcept;
};
} // namespace velomix_thread

class CQThread : public CObject {
public:
    // A callback: receives the parameter; for start and run, nonzero means "go on".
    using Callback = int (*)(void* pParam);

    CQThread() noexcept;
    ~CQThread() override; // Stop, with only the base SignalStop

    // Stops a running thread first (SignalStop, then join), stores the callbacks (any may be
    // null) and the parameter, and starts a new thread. nPriority is a Windows thread
    // priority (THREAD_PRIORITY_*, 0 normal); other platforms run every thread at normal
    // priority. False when the thread could not be created: nothing runs then, and the
    // callbacks stay stored until the next Stop or Start.
    bool Start(void* pParam, Callback pfnRun, Callback pfnStart = nullptr,
               Callback pfnEnd = nullptr, int nPriority = 0) noexcept;

    // Calls SignalStop and waits, without time-out, until the thread has ended, then forgets
    // the thread, the callbacks and the parameter. Does nothing when no thread was started
    // (or Stop already ran), and nothing when called on the worker itself, which would wait
    // for its own end.
    void Stop() noexcept;

    // True from a successful Start until Stop, also after the callbacks have returned.
    bool HasThread() const noexcept { return m_pThread != nullptr; }

protected:
    // Asks the worker to finish; called by Stop before it waits, on the owner's thread. The
    // base does nothing.
    virtual void SignalStop() noexcept {}

private:
    static void ThreadBody(void* pSelf) noexcept;

    std::unique_ptr<velomix_thread::PlatformThread, velomix_thread::PlatformThreadCloser> m_pThread;
    // The running worker's thread key (0 when none), so Stop can tell it is called by the worker.
    std::atomic<uintptr_t> m_WorkerKey{0};
    Callback m_pfnStart = nullptr;
    Callback m_pfnRun = nullptr;
    Callback m_pfnEnd = nullptr;
    void* m_pParam = nullptr;
};
