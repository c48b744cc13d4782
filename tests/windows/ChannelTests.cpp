// The cross-process channel on the real platform: a holder of "VELFilter_MUTEX" that dies
// without releasing it leaves an abandoned mutex, which the next waiter takes over, so the
// filters keep publishing and serving; a holder that hangs delays nothing for long; a damaged
// size field is restored; a remaining filter takes over serving.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "Harness.h"
#include "IVelomixProp.h"
#include "NamedObjects.h"
#include "SharedBlock.h"
#include "Support.h"
#include "VelomixClient.h"

namespace {

// A holder that never lets go (a filter's thread or an earlier case's holder stuck with it)
// fails the case after these bounds instead of hanging the program.
constexpr DWORD kLockMs = 10000;
constexpr DWORD kThreadEndMs = 3 * kLockMs;

DWORD WINAPI LockAndEnd(void*) {
    // ANSI on purpose: a client built without UNICODE names the same object as the module.
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kVelomixMutexName);
    if (!mutex)
        return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD wait = WaitForSingleObject(mutex, kLockMs);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
            CloseHandle(mutex);
            return 1;
        }
    }
    // Owned, and left so: the thread's end abandons it. The handle stays open, as a crashed
    // process's would until the system reclaims it.
    return 0;
}

// Locks the named mutex on a thread of its own and ends that thread without releasing it.
bool AbandonTheMutex() {
    HANDLE thread = CreateThread(nullptr, 0, &LockAndEnd, nullptr, 0, nullptr);
    if (!thread)
        return false;
    DWORD code = 1;
    if (WaitForSingleObject(thread, kThreadEndMs) == WAIT_OBJECT_0)
        GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 0;
}

double BlockTempo() {
    CVelomixClient client;
    VelomixValues values;
    return client.Read(values, 5000) == VelomixStatus::Ok ? values.dTempo : -1;
}

// Holds the named mutex on a thread of its own, as a control program that hangs would, until
// Release.
class CMutexHolder {
public:
    CMutexHolder()
        // Unnamed events: no text, so either form.
        : m_locked(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_release(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        m_thread = CreateThread(nullptr, 0, &CMutexHolder::Body, this, 0, nullptr);
    }
    ~CMutexHolder() {
        Release();
        CloseHandle(m_locked);
        CloseHandle(m_release);
    }
    CMutexHolder(const CMutexHolder&) = delete;
    CMutexHolder& operator=(const CMutexHolder&) = delete;

    bool WaitLocked() {
        return m_thread && WaitForSingleObject(m_locked, kLockMs) == WAIT_OBJECT_0;
    }
    void Release() {
        if (m_thread) {
            SetEvent(m_release);
            // Within kLockMs: the thread's only other wait is its Lock.
            WaitForSingleObject(m_thread, INFINITE);
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
    }

private:
    static DWORD WINAPI Body(void* pParam) {
        CMutexHolder& self = *static_cast<CMutexHolder*>(pParam);
        CQNamedMutex mutex(kVelomixMutexName);
        if (!mutex.Lock(kLockMs))
            return 1;
        SetEvent(self.m_locked);
        WaitForSingleObject(self.m_release, INFINITE);
        mutex.Unlock();
        return 0;
    }
    HANDLE m_locked;
    HANDLE m_release;
    HANDLE m_thread = nullptr;
};

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// A filter of the module, once it has said that it serves the channel, and its control
// interface.
struct ServingFilter {
    ComPtr<IBaseFilter> filter;
    ComPtr<IVelomixProp> prop;
};

ServingFilter RequireServingFilter(const CModule& module) {
    CQNamedEvent evArrival;
    REQUIRE(evArrival.Create(kVelomixArrivalEventName, false, false), "arrival event");
    ServingFilter served{RequireFilter(module), nullptr};
    REQUIRE(evArrival.Wait(10000), "the filter serves");
    served.prop = RequireProp(served.filter.Get());
    return served;
}

} // namespace

VMX_TEST(channel, an_abandoned_mutex_is_taken_over) {
    WithModule([](const CModule& module) {
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
        ComPtr<IBaseFilter> filter =
            RequireFilter(module, "a filter is made while the mutex is abandoned");
        ComPtr<IVelomixProp> prop = RequireProp(filter.Get());
        CHECK(BlockTempo() == 1.0, "the new filter published 1.0: %g", BlockTempo());
        CHECK_HR(S_OK, prop->SetTempo(1.5));
        CHECK(BlockTempo() == 1.5, "a setter publishes: %g", BlockTempo());

        REQUIRE(AbandonTheMutex(), "abandoned while the filter lives");
        CHECK_HR(S_OK, prop->SetTempo(0.75));
        CHECK(BlockTempo() == 0.75, "the setter after the holder died publishes: %g", BlockTempo());
    });
}

VMX_TEST(channel, a_hanging_mutex_holder_stalls_no_filter) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> filter = RequireFilter(module);
        ComPtr<IVelomixProp> prop = RequireProp(filter.Get());
        CVelomixClient client;
        REQUIRE(client.Listen(), "the notice events are made");
        {
            CMutexHolder holder;
            REQUIRE(holder.WaitLocked(), "another thread holds the mutex");
            auto start = std::chrono::steady_clock::now();
            ComPtr<IBaseFilter> other = module.CreateFilter();
            const double createMs = MsSince(start);
            CHECK(other, "a filter is made while the mutex is held");
            start = std::chrono::steady_clock::now();
            CHECK_HR(S_OK, prop->SetTempo(1.5));
            CHECK_HR(S_OK, prop->SetTempo(1.25));
            const double setterMs = MsSince(start) / 2;
            start = std::chrono::steady_clock::now();
            other.Reset();
            const double destroyMs = MsSince(start);
            std::printf("measured: mutex held elsewhere: filter made in %.1f ms, setter %.1f ms, "
                        "filter destroyed in %.1f ms\n",
                        createMs, setterMs, destroyMs);
            CHECK(setterMs < 500 && createMs < 1000 && destroyMs < 1000,
                  "bounded: made %.1f ms, setter %.1f ms, destroyed %.1f ms", createMs, setterMs,
                  destroyMs);
        }
        // Released: the server thread publishes the newest values.
        VelomixValues values{0, 0, 0};
        bool bRead = false;
        while (values.dTempo != 1.25) {
            // The other filter's departure may come first.
            const VelomixNotice notice = client.WaitForChange(10000, &values, &bRead);
            REQUIRE(notice != VelomixNotice::Timeout && notice != VelomixNotice::Failed,
                    "the newest values reach the block: %g", values.dTempo);
        }
    });
}

VMX_TEST(channel, a_damaged_size_field_is_restored) {
    WithModule([](const CModule& module) {
        const auto [filter, prop] = RequireServingFilter(module);
        {
            CQShareMemory scribbler; // writes its own size into the field
            REQUIRE(scribbler.Create(kVelomixBlockName, 7), "the block is mapped with size 7");
        }
        CVelomixClient client;
        VelomixValues values;
        CHECK(client.Read(values, 5000) == VelomixStatus::Damaged, "the field reads damaged");
        CHECK_HR(S_OK, prop->SetPitch(5));
        CHECK(client.Read(values, 5000) == VelomixStatus::Ok && values.nPitch == 5,
              "the next publication restored it: pitch %d", static_cast<int>(values.nPitch));
        // A request restores it too.
        {
            CQShareMemory scribbler;
            REQUIRE(scribbler.Create(kVelomixBlockName, 3), "the block is mapped with size 3");
        }
        CHECK(client.Request(VelomixValues{2.0, 1.0, 5}, 5000) == VelomixStatus::Ok,
              "a request is served and confirmed");
        CHECK(client.Read(values, 5000) == VelomixStatus::Ok && values.dTempo == 2.0,
              "restored by the request: tempo %g", values.dTempo);
    });
}

VMX_TEST(channel, a_remaining_filter_takes_over_serving) {
    WithModule([](const CModule& module) {
        CQNamedEvent evArrival;
        REQUIRE(evArrival.Create(kVelomixArrivalEventName, false, false), "arrival event");
        ComPtr<IBaseFilter> first = RequireFilter(module, "the first filter is made");
        REQUIRE(evArrival.Wait(10000), "the first filter serves");
        ComPtr<IBaseFilter> second = RequireFilter(module, "a second filter is made");
        ComPtr<IVelomixProp> prop = RequireProp(second.Get());
        const auto start = std::chrono::steady_clock::now();
        first.Reset();
        REQUIRE(evArrival.Wait(10000), "the second filter takes over");
        std::printf("measured: take-over %.1f ms after the serving filter left\n", MsSince(start));
        CVelomixClient client;
        CHECK(client.Request(VelomixValues{1.0, 1.5, 0}, 5000) == VelomixStatus::Ok,
              "the new server confirms a request");
        double rate = 0;
        CHECK_HR(S_OK, prop->GetRate(&rate));
        CHECK(rate == 1.5, "the remaining filter took it: %g", rate);
    });
}

namespace {

// One of three controllers of the test below: random requests ten times a second.
struct Controller {
    unsigned seed = 0;
    int ms = 0;
    int confirmed = 0, superseded = 0, other = 0;
    VelomixValues last;
    std::chrono::steady_clock::time_point lastAt{};
};

DWORD WINAPI RunController(void* p) {
    Controller& c = *static_cast<Controller*>(p);
    std::mt19937 gen(c.seed);
    std::uniform_int_distribution<int> step(10, 40);
    std::uniform_int_distribution<int> semitones(-12, 12);
    CVelomixClient client;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; MsSince(start) < c.ms; ++i) {
        const VelomixValues request{step(gen) * 0.05, step(gen) * 0.05, semitones(gen)};
        switch (client.Request(request, 2000)) {
        case VelomixStatus::Ok:
            ++c.confirmed;
            c.last = request;
            c.lastAt = std::chrono::steady_clock::now();
            break;
        case VelomixStatus::Superseded:
        case VelomixStatus::Overridden:
            ++c.superseded;
            break;
        default:
            ++c.other;
            break;
        }
        const double due = 100.0 * (i + 1) - MsSince(start);
        if (due > 0)
            Sleep(static_cast<DWORD>(due));
    }
    return 0;
}

} // namespace

// Three controllers asking for random values ten times a second each: none times out, and the
// filter ends at the request confirmed last. VELOMIX_CONTROLLER_MS sets how long (60000 for a
// minute). A combination outside the envelope is refused at once.
VMX_TEST(channel, three_controllers_never_time_out) {
    WithModule([](const CModule& module) {
        const auto [filter, prop] = RequireServingFilter(module);
        char text[16] = {};
        // ANSI on purpose: a number.
        const DWORD got = GetEnvironmentVariableA("VELOMIX_CONTROLLER_MS", text, sizeof text);
        const int ms = got > 0 && got < sizeof text ? std::atoi(text) : 3000;

        Controller controllers[3];
        HANDLE threads[3] = {};
        for (unsigned i = 0; i < 3; ++i) {
            controllers[i].seed = i + 1;
            controllers[i].ms = ms;
            threads[i] = CreateThread(nullptr, 0, &RunController, &controllers[i], 0, nullptr);
            REQUIRE(threads[i] != nullptr, "controller thread %u", i);
        }
        const DWORD wait = WaitForMultipleObjects(3, threads, TRUE, static_cast<DWORD>(ms) + 60000);
        for (HANDLE h : threads)
            CloseHandle(h);
        REQUIRE(wait == WAIT_OBJECT_0, "the controllers ended");
        const Controller* pLast = nullptr;
        int confirmed = 0, superseded = 0;
        for (const Controller& c : controllers) {
            CHECK(c.other == 0, "controller %u: %d requests timed out or failed", c.seed, c.other);
            confirmed += c.confirmed;
            superseded += c.superseded;
            if (c.confirmed > 0 && (pLast == nullptr || c.lastAt > pLast->lastAt))
                pLast = &c;
        }
        REQUIRE(pLast != nullptr, "some request was confirmed");
        double tempo = 0, rate = 0;
        int pitch = 0;
        CHECK_HR(S_OK, prop->GetTempo(&tempo));
        CHECK_HR(S_OK, prop->GetRate(&rate));
        CHECK_HR(S_OK, prop->GetPitch(&pitch));
        CHECK(tempo == pLast->last.dTempo && rate == pLast->last.dRate &&
                  pitch == pLast->last.nPitch,
              "the filter ends at the last confirmed request: %g %g %d, not %g %g %d", tempo, rate,
              pitch, pLast->last.dTempo, pLast->last.dRate, static_cast<int>(pLast->last.nPitch));
        std::printf("measured: %d confirmed, %d superseded in %d ms\n", confirmed, superseded, ms);

        CVelomixClient client;
        const auto start = std::chrono::steady_clock::now();
        CHECK(client.Request(VelomixValues{0.05, 1.0, 60}, 60000) == VelomixStatus::Refused,
              "a combination outside the envelope is refused");
        CHECK(MsSince(start) < 30000, "and said at once: %.0f ms", MsSince(start));
    });
}
