// The cross-process channel on the real platform: a holder of "VELFilter_MUTEX" that dies
// without releasing it leaves an abandoned mutex, which the next waiter takes over, so the
// filters keep publishing and serving.
#include "Harness.h"
#include "IVelomixProp.h"
#include "NamedObjects.h"
#include "SharedBlock.h"
#include "Support.h"

namespace {

DWORD WINAPI LockAndEnd(void*) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kVelomixMutexName);
    if (!mutex)
        return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        WaitForSingleObject(mutex, INFINITE);
    // Owned, and left so: the thread's end abandons it. The handle stays open, as a crashed
    // process's would until the system reclaims it.
    return 0;
}

// Locks the named mutex on a thread of its own and ends that thread without releasing it.
bool AbandonTheMutex() {
    HANDLE thread = CreateThread(nullptr, 0, &LockAndEnd, nullptr, 0, nullptr);
    if (!thread)
        return false;
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 0;
}

double BlockTempo() {
    CQShareMemory block;
    double tempo = 0;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        block.Read(&tempo, kVelomixTempoOffset, sizeof tempo) != sizeof tempo)
        return -1;
    return tempo;
}

} // namespace

VMX_TEST(channel, an_abandoned_mutex_is_taken_over) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");

    REQUIRE(AbandonTheMutex(), "a thread took the mutex and ended holding it");
    {
        CQNamedMutex mutex(kVelomixMutexName);
        bool abandoned = false;
        CHECK(mutex.Lock(5000, &abandoned), "the next waiter acquires the abandoned mutex");
        CHECK(abandoned, "and is told it was abandoned");
        mutex.Unlock();
    }

    // A filter made after that maps the block and publishes through the same mutex.
    REQUIRE(AbandonTheMutex(), "the mutex is abandoned again");
    ComPtr<IBaseFilter> filter = module.CreateFilter();
    REQUIRE(filter, "a filter is made while the mutex is abandoned");
    ComPtr<IVelomixProp> prop;
    REQUIRE_HR(S_OK, filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
    CHECK(BlockTempo() == 1.0, "the new filter published 1.0: %g", BlockTempo());
    CHECK_HR(S_OK, prop->SetTempo(1.5));
    CHECK(BlockTempo() == 1.5, "a setter publishes: %g", BlockTempo());

    REQUIRE(AbandonTheMutex(), "abandoned while the filter lives");
    CHECK_HR(S_OK, prop->SetTempo(0.75));
    CHECK(BlockTempo() == 0.75, "the setter after the holder died publishes: %g", BlockTempo());
    prop.Reset();
    filter.Reset();
    CHECK_HR(S_OK, module.CanUnloadNow());
}
