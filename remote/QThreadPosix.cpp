// CQThread's platform side on POSIX: pthreads. Thread priorities are not applied: normal
// (SCHED_OTHER) threads have none.
#include <memory>
#include <new>

#include <pthread.h>

#include "ThreadPlatform.h"

namespace velomix_thread {

struct PlatformThread {
    pthread_t thread{};
    Body body = nullptr;
    void* pArg = nullptr;
    bool bJoined = false;
};

namespace {
void* ThreadProc(void* p) {
    const PlatformThread& self = *static_cast<const PlatformThread*>(p);
    self.body(self.pArg);
    return nullptr;
}
} // namespace

void PlatformThreadCloser::operator()(PlatformThread* pThread) const noexcept {
    if (pThread != nullptr && !pThread->bJoined) {
        pthread_detach(pThread->thread);
    }
    std::unique_ptr<PlatformThread> owned(pThread);
}

ThreadPtr CreatePlatformThread(Body body, void* pArg, int /*nPriority*/) noexcept {
    ThreadPtr thread;
    try {
        thread.reset(std::make_unique<PlatformThread>().release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    thread->body = body;
    thread->pArg = pArg;
    if (pthread_create(&thread->thread, nullptr, &ThreadProc, thread.get()) != 0) {
        thread->bJoined = true; // nothing to detach
        return nullptr;
    }
    return thread;
}

uintptr_t CurrentThreadKey() noexcept {
    // pthread_t is an integer or pointer on every platform this build targets.
    return static_cast<uintptr_t>(pthread_self());
}

void JoinPlatformThread(PlatformThread& thread) noexcept {
    if (!thread.bJoined) {
        pthread_join(thread.thread, nullptr);
        thread.bJoined = true;
    }
}

} // namespace velomix_thread
