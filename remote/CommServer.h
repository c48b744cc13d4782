// CVelomixCommServer: one per speed filter; the filter's end of the cross-process control
// channel (names and block layout in SharedBlock.h, the whole protocol in
// docs/control-channel.md).
//
// The server maps the shared block, publishes the filter's tempo, rate and pitch into it and
// runs one thread. Only one filter among all processes of the user serves requests: the one
// whose thread created "VELFilter_SVR". The thread of every other filter stands by and tries
// to take over every kTakeoverMs, so that when the serving filter goes away (or its process
// dies) a remaining one serves within that time. Every filter publishes.
//
// Nothing here waits on another process without a bound. A control program that is stopped
// (Ctrl-Z, a debugger) or hangs while it holds "VELFilter_MUTEX" delays the filter as follows
// (the named-object calls themselves add at most their own directory-lock bounds, see
// NamedObjects.h, which only a process stopped inside such a call can make them reach):
// - a setter's publication waits at most kSetterLockMs for the mutex (plus as much again for
//   opening it); past that the publication is left to the server thread, which retries every
//   kRetryMs until it gets through, publishing the values the filter holds then (the newest
//   win, also over a setter that publishes meanwhile);
// - Start waits at most kSetterLockMs for the mutex, maps the block without it if need be,
//   and leaves the first publication to the thread like a setter;
// - the thread waits at most kThreadLockMs per attempt and looks at the stop event between
//   attempts, so Stop (and the destructor, which then waits at most kTeardownLockMs more
//   before it signals the departure anyway) returns within about two attempts.
// Measured with the mutex held by a stopped process (native build, Debug with ASan+UBSan or
// TSan, 2 shared cores under load): a setter returned within 4.1 ms, a new filter was made
// within 12 ms and destroyed within 145 ms, and the newest values reached the block once the
// holder went on or died. Under Wine (mutex held by a hanging thread) a setter took 4.3 ms
// (x86_64) to 22 ms (i686): a timed wait there, as on Windows, may last until the next tick
// of the system timer (15.6 ms by default); a filter was made within 78 ms and destroyed
// within 157 ms. A standby filter took over serving within 2 to 197 ms of the serving
// filter's departure (depending on where in its period it was) and within 153 ms of the
// serving process being killed: the bound is kTakeoverMs plus one try. A try is a create of
// "VELFilter_SVR", which may wait up to 1 s for the object folder's lock (NamedObjects.h) when
// a process holding it is stopped or starved of the CPU, so one such try stretches a take-over
// to about 1.2 s and two to 2.2 s. Measured again (30 kills, ASan, filter tests and a build
// loading both cores): 2 to 205 ms from the kill, the killed process reaped within 13 ms.
// The tests StoppedMutexHolderStallsNoFilter, RemainingFilterTakesOverServing and
// PublishingFilterTakesOverFromAKilledServer (and the Windows group "channel") print these.
//
// The change notification "VELFilter_CLI" is set under the mutex after each publication that
// reached the block; a setter that gives up on it (see CQWaitBound) leaves it to the thread.
//
// Requests: the serving thread watches "VELFilter_SVR" without taking it, so that anyone
// holding the mutex sees a request pending until it is taken. It takes a request under the
// filter's speed lock and then the mutex, and in that one hold applies the three values as one
// combination (or refuses them whole), writes the values in force into the block and sets
// "VELFilter_CLI": a control program holding the mutex sees the request either pending (its
// bytes in the block, the event set) or answered, never taken and unanswered. No publication of
// any filter writes over a pending request; its values reach the block with the answer.
//
// Damage: every publication and every request first restores the block's header (and, on
// the native build, the block file's size) under the mutex, so a block that another process
// scribbled over or truncated is whole again at the next publication.
//
// Locks: the filter's speed lock (taken inside the IVelomixProp setters and getters) comes
// before the named mutex "VELFilter_MUTEX". Publications read the getters before they lock;
// the server thread copies a request out and unlocks before it calls a setter.
#pragma once

#include <atomic>
#include <cstdint>

#include "NamedObjects.h"
#include "QThread.h"
#include "com.h"
#include "SharedBlock.h"

// The serving thread's half of one request, handed to the filter (IVelomixSpeedOwner).
class CVelomixSpeedExchange {
public:
    // Takes the pending request: true with its values; false when there is none to apply.
    virtual bool Take(VelomixValues& request) noexcept = 0;
    // The values in force after the request (hr: S_OK applied, a change; S_FALSE nothing
    // changed, or nothing taken; E_INVALIDARG refused whole).
    virtual void Answer(const VelomixValues& inForce, HRESULT hr) noexcept = 0;

protected:
    ~CVelomixSpeedExchange() = default;
};

// What the server needs of its filter.
class IVelomixSpeedOwner {
public:
    // The values in force. Takes the filter's speed lock.
    virtual VelomixValues SpeedInForce() noexcept = 0;
    // Under the filter's speed lock: exchange.Take; when it gives a request, applies its three
    // values as one combination (all or none: refused when one is out of range or together
    // they leave the speed envelope); then exchange.Answer with the values in force, still
    // under the lock. Publishes nothing itself.
    virtual void ExchangeSpeed(CVelomixSpeedExchange& exchange) noexcept = 0;

protected:
    ~IVelomixSpeedOwner() = default;
};

class CVelomixCommServer : public CQThread {
public:
    // Bounds of the waits for "VELFilter_MUTEX", in milliseconds.
    static constexpr uint32_t kSetterLockMs = 3;    // a setter's (and Start's) publication,
                                                    // and a request taken under the speed lock
    static constexpr uint32_t kThreadLockMs = 50;   // one attempt of the server thread
    static constexpr uint32_t kTeardownLockMs = 50; // the departure signal in the destructor
    // Pause between two attempts of a publication or request the mutex held up.
    static constexpr uint32_t kRetryMs = 20;
    // How often a standby filter tries to become the serving one.
    static constexpr uint32_t kTakeoverMs = 200;

    // Creates the unnamed events. If that fails, Start later returns false and the filter
    // runs without the channel.
    CVelomixCommServer() noexcept;
    // Stop, then sets "VELFilter_DCONSVR" if a control program created it (every server,
    // serving or not, started or not), then unmaps the block. Owner's thread.
    ~CVelomixCommServer() override;
    CVelomixCommServer(const CVelomixCommServer&) = delete;
    CVelomixCommServer& operator=(const CVelomixCommServer&) = delete;

    // Stops a previous run, remembers the filter, maps "VELFilter_MEM" (creating it if
    // needed), publishes the filter's values and starts the server thread, which serves
    // requests now or as soon as no other filter does. pFilter is not AddRef'd (the filter
    // owns this server); it must stay valid until Stop returns and be callable from the
    // server thread. Returns false, with no thread, when the block could not be mapped: the
    // filter then works without the channel, and when the object folder is the reason
    // (another user's, open to others) that is said once per process. True once the block is
    // mapped, even if the thread could not start. Owner's thread, not while the filter's speed
    // lock is held.
    bool Start(IVelomixSpeedOwner* pFilter) noexcept;

    // Writes the filter's current values into the block and has the server thread set
    // "VELFilter_CLI". Called by the filter's setters after each effective change, holding the
    // speed lock, on any thread. True when written now or when a pending request's answer
    // will carry them; false when left to the server thread (the mutex was busy) and before
    // Start, after Stop or without a block (nothing to do).
    bool Publish() noexcept;

    // Stops the server thread (a request being applied is finished first) and forgets the
    // filter; Publish does nothing afterwards and pending publications are dropped. The block
    // stays mapped. Owner's thread, not while the filter's speed lock is held (the server
    // thread may be waiting for it).
    void Stop() noexcept;

protected:
    // Wakes the server thread so that it leaves its wait.
    void SignalStop() noexcept override;

private:
    class RequestExchange;
    // Work left to the server thread.
    enum : unsigned { kWorkPublish = 1u, kWorkNotify = 2u, kWorkRequest = 4u };

    // The server thread's body; pParam is the server. Always reports success.
    static int Run(void* pParam) noexcept;
    // Creates "VELFilter_SVR" as a new event and announces the arrival. Server thread.
    static bool TryToServe(CQNamedEvent& evRequest, CQNamedEvent& evArrival) noexcept;
    // Takes one request and has the filter apply and answer it; false, with the request left
    // pending, when the mutex could not be had (try again). Server thread.
    bool ApplyRequest(CQNamedEvent& evRequest) noexcept;
    // A publication left to the server thread; false when it must be tried again.
    bool PublishPending() noexcept;
    enum class WriteResult { Written, Skipped, Busy };
    // Reads the filter's values, takes the mutex within timeoutMs (else Busy), writes them and
    // sets "VELFilter_CLI" if it exists. Skipped, writing nothing, while a request is pending
    // (its answer carries the newest values) and, with bCheckVersion, when a setter published
    // since nVersion was read (that one is newer).
    WriteResult WriteValues(IVelomixSpeedOwner* pFilter, uint32_t timeoutMs, bool bCheckVersion,
                            uint64_t nVersion) noexcept;
    // Sets "VELFilter_CLI" if it exists.
    static void Notify() noexcept;
    // Leaves work to the server thread and wakes it.
    void Post(unsigned work) noexcept;

    CQNamedEvent m_evStop; // unnamed, auto-reset
    CQNamedEvent m_evWake; // unnamed, auto-reset: work was posted
    std::atomic<IVelomixSpeedOwner*> m_pFilter{nullptr};
    CQShareMemory m_Block;
    CQNamedMutex m_KeptMutex; // opened, never locked: keeps "VELFilter_MUTEX" between locks
    std::atomic<bool> m_bReady{false};   // block mapped; never cleared
    std::atomic<bool> m_bThread{false};  // the server thread runs and takes posted work
    std::atomic<unsigned> m_nWork{0};    // kWork* flags posted to the thread
    std::atomic<uint64_t> m_nVersion{0}; // counts setters' publications
};
