// CQThread's platform side on Windows: CreateThread (the -win32 mingw runtime has no
// std::thread), created suspended so the priority is in place before the first callback.
#include <memory>
#include <new>

#include <windows.h>

#include "ThreadPlatform.h"

namespace velomix_thread {

struct PlatformThread {
    HANDLE hThread = nullptr;
    Body body = nullptr;
    void* pArg = nullptr;
};

namespace {
DWORD WINAPI ThreadProc(LPVOID p) {
    const PlatformThread& self = *static_cast<const PlatformThread*>(p);
    self.body(self.pArg);
    return 0; // returning ends the thread with this code and still runs local destructors
}
} // namespace

void PlatformThreadCloser::operator()(PlatformThread* pThread) const noexcept {
    std::unique_ptr<PlatformThread> owned(pThread);
    if (owned && owned->hThread != nullptr) {
        CloseHandle(owned->hThread);
    }
}

ThreadPtr CreatePlatformThread(Body body, void* pArg, int nPriority) noexcept {
    ThreadPtr thread;
    try {
        thread.reset(std::make_unique<PlatformThread>().release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    thread->body = body;
    thread->pArg = pArg;
    thread->hThread =
        CreateThread(nullptr, 0, &ThreadProc, thread.get(), CREATE_SUSPENDED, nullptr);
    if (thread->hThread == nullptr) {
        return nullptr;
    }
    SetThreadPriority(thread->hThread, nPriority);
    if (ResumeThread(thread->hThread) == static_cast<DWORD>(-1)) {
        // A suspended thread that cannot be resumed would never end: end it before it ran.
        TerminateThread(thread->hThread, 0);
        WaitForSingleObject(thread->hThread, INFINITE);
        return nullptr;
    }
    return thread;
}

uintptr_t CurrentThreadKey() noexcept {
    return GetCurrentThreadId();
}

void JoinPlatformThread(PlatformThread& thread) noexcept {
    WaitForSingleObject(thread.hThread, INFINITE);
}

} // namespace velomix_thread
