// The platform side of CQThread (QThreadPosix.cpp, QThreadWin32.cpp). Internal to this folder.
#pragma once

#include <cstdint>
#include <memory>

#include "QThread.h"

namespace velomix_thread {

using ThreadPtr = std::unique_ptr<PlatformThread, PlatformThreadCloser>;
using Body = void (*)(void* pArg) noexcept;

// Starts a thread running body(pArg) at the given priority. Null when it cannot be created.
ThreadPtr CreatePlatformThread(Body body, void* pArg, int nPriority) noexcept;
// A nonzero number that tells the calling thread apart from every other running thread.
uintptr_t CurrentThreadKey() noexcept;
// Waits without time-out until the thread has ended.
void JoinPlatformThread(PlatformThread& thread) noexcept;

} // namespace velomix_thread
