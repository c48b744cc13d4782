#include "CommServer.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "DiagnosticLog.h"
#include "SharedBlock.h"

namespace {

// Says once per process why the channel cannot be had, if the object folder is the reason:
// a filter that silently ran without its channel would look to velomixctl as if none ran, so
// this is said even where the log is off by default.
void ReportChannelProblemOnce() noexcept {
    static std::atomic<bool> s_bReported{false};
    try {
        const std::string problem = VelomixNamedObjectsProblem();
        if (!problem.empty() && !s_bReported.exchange(true)) {
            LogNotice(LogLevel::Warning, "%s; filters run without the control channel",
                      problem.c_str());
        }
    } catch (const std::bad_alloc&) {
    }
}

} // namespace

CVelomixCommServer::CVelomixCommServer() noexcept {
    m_evStop.Create(nullptr, false, false);
    m_evWake.Create(nullptr, false, false);
}

CVelomixCommServer::~CVelomixCommServer() {
    Stop();
    {
        CQNamedEvent evDeparture;
        CQNamedMutex mutex(kVelomixMutexName);
        // Signalled even when the mutex stays busy: the departure must be heard.
        CQNamedMutex::Guard guard = mutex.Acquire(kTeardownLockMs);
        if (evDeparture.OpenExisting(kVelomixDepartureEventName, false, false)) {
            evDeparture.Set();
        }
    }
    m_Block.Close();
    m_KeptMutex.Close();
    m_evWake.Close();
    m_evStop.Close();
}

bool CVelomixCommServer::Start(IVelomixSpeedOwner* pFilter) noexcept {
    Stop();
    m_pFilter = pFilter;
    if (!m_evStop.IsOpen() || !m_evWake.IsOpen()) {
        return false; // a thread without its events could never be stopped or woken
    }
    // Kept open like the block, so that the mutex is not made anew for every publication and
    // request (on the native build, a file each time).
    if (!m_KeptMutex.IsOpen()) {
        m_KeptMutex.SetName(kVelomixMutexName);
        m_KeptMutex.Open(kSetterLockMs);
    }
    {
        // Mapping (and writing the constant header) is safe without the mutex, so a busy
        // mutex only keeps the constructor waiting for kSetterLockMs.
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(kSetterLockMs);
        if (m_Block.Create(kVelomixBlockName, kVelomixBlockDataSize)) {
            m_bReady = true;
        }
    }
    if (!m_bReady) {
        ReportChannelProblemOnce();
        return false;
    }
    // Published before the thread starts, so that the first notification precedes the
    // arrival; anything left over is posted for the thread, which takes it on its first round.
    m_bThread = true;
    Publish();
    m_bThread = CQThread::Start(this, &CVelomixCommServer::Run);
    return true;
}

bool CVelomixCommServer::Publish() noexcept {
    IVelomixSpeedOwner* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return false;
    }
    m_nVersion.fetch_add(1);
    // Nothing below may hold up the setter's caller for long on another process.
    CQWaitBound bound(kSetterLockMs);
    if (WriteValues(pFilter, kSetterLockMs, false, 0) == WriteResult::Busy) {
        LogMessage(LogLevel::Info, "control channel busy: publication left to the server thread");
        Post(kWorkPublish);
        return false;
    }
    if (bound.TimedOut()) {
        Post(kWorkNotify); // the notification may not have gone out: the thread sends it
    }
    return true;
}

bool CVelomixCommServer::PublishPending() noexcept {
    IVelomixSpeedOwner* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return true;
    }
    return WriteValues(pFilter, kThreadLockMs, true, m_nVersion.load()) != WriteResult::Busy;
}

namespace {

// True while a request waits in the block: "VELFilter_SVR" exists and is set. Looking takes the
// event, so it is set again at once; the caller holds the mutex, under which requests are
// placed and taken, so nobody sees the difference.
bool IsRequestPending() noexcept {
    CQNamedEvent evRequest;
    if (!evRequest.OpenExisting(kVelomixRequestEventName, false, false) || !evRequest.Wait(0)) {
        return false;
    }
    evRequest.Set();
    return true;
}

} // namespace

CVelomixCommServer::WriteResult CVelomixCommServer::WriteValues(IVelomixSpeedOwner* pFilter,
                                                                uint32_t timeoutMs,
                                                                bool bCheckVersion,
                                                                uint64_t nVersion) noexcept {
    // Read before locking: the filter's speed lock must never be entered while the named mutex
    // is held.
    const VelomixValues values = pFilter->SpeedInForce();

    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(timeoutMs);
    if (!guard) {
        return WriteResult::Busy;
    }
    // A setter that published after the values above were read wrote newer ones (or left
    // them to this thread again): these must not overwrite them.
    if (bCheckVersion && m_nVersion.load() != nVersion) {
        return WriteResult::Skipped;
    }
    // A request not yet taken is not overwritten: the serving filter answers it with the
    // values then in force, which are newer than these.
    if (IsRequestPending()) {
        return WriteResult::Skipped;
    }
    m_Block.Restore();
    WriteBlockValues(m_Block, values);
    // Under the mutex, so that a control program that holds it knows every signal from then
    // on follows what it did meanwhile.
    Notify();
    return WriteResult::Written;
}

void CVelomixCommServer::Notify() noexcept {
    CQNamedEvent evChange;
    if (evChange.OpenExisting(kVelomixChangeEventName, false, false)) {
        evChange.Set();
    }
}

void CVelomixCommServer::Post(unsigned work) noexcept {
    if (!m_bThread) {
        // No thread to leave it to (it could not start): notify here, drop a retry.
        if ((work & kWorkNotify) != 0) {
            Notify();
        }
        return;
    }
    m_nWork.fetch_or(work);
    m_evWake.Set();
}

void CVelomixCommServer::Stop() noexcept {
    CQThread::Stop();
    m_bThread = false;
    m_nWork = 0;
    m_evStop.Reset();
    m_evWake.Reset();
    m_pFilter = nullptr;
}

void CVelomixCommServer::SignalStop() noexcept {
    m_evStop.Set();
}

bool CVelomixCommServer::TryToServe(CQNamedEvent& evRequest, CQNamedEvent& evArrival) noexcept {
    // An existing request event means another filter serves (or a control program still
    // holds it after the server left): stand by and try again later. Creating it only as a
    // new object decides alone who serves, so a standby filter's tries never take the mutex
    // that every publication needs.
    if (!evRequest.CreateNew(kVelomixRequestEventName, false, false)) {
        return false;
    }
    // Announced under the mutex where it can be had, as every signal of the channel.
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(kThreadLockMs);
    if (evArrival.OpenExisting(kVelomixArrivalEventName, false, false)) {
        evArrival.Set();
    }
    return true;
}

int CVelomixCommServer::Run(void* pParam) noexcept {
    CVelomixCommServer& self = *static_cast<CVelomixCommServer*>(pParam);
    CQNamedEvent evRequest;
    CQNamedEvent evArrival;
    bool bServing = false;
    for (;;) {
        if (!bServing) {
            bServing = TryToServe(evRequest, evArrival);
        }
        unsigned again = 0;
        const unsigned work = self.m_nWork.exchange(0);
        if ((work & kWorkRequest) != 0 && !self.ApplyRequest(evRequest)) {
            again |= kWorkRequest;
        }
        if ((work & kWorkPublish) != 0 && !self.PublishPending()) {
            again |= kWorkPublish;
        }
        if ((work & kWorkNotify) != 0) {
            Notify();
        }
        if (again != 0) {
            LogMessage(LogLevel::Info, "control channel busy: %s tried again in %u ms",
                       (again & kWorkRequest) != 0 ? "request" : "publication", kRetryMs);
            self.m_nWork.fetch_or(again);
        }
        const uint32_t timeoutMs = again != 0 ? kRetryMs : (bServing ? kInfinite : kTakeoverMs);
        // A request put off waits for its retry, not for its own event (still set). The event
        // is watched, never taken here: it shows the request pending until ApplyRequest takes
        // it under the mutex.
        const bool bWatchRequests = bServing && (again & kWorkRequest) == 0;
        const int result =
            bWatchRequests ? CQNamedEvent::WaitAnyWatching({&self.m_evStop, &self.m_evWake},
                                                           evRequest, kVelomixMutexName, timeoutMs)
                           : CQNamedEvent::WaitAny({&self.m_evStop, &self.m_evWake}, timeoutMs);
        if (result == 0) {
            break;
        }
        if (result == 2 && !self.ApplyRequest(evRequest)) {
            self.m_nWork.fetch_or(kWorkRequest);
        } else if (result == kWaitFailed) {
            LogMessage(LogLevel::Error,
                       "control channel: waiting failed; this filter stops serving");
            break; // a wait that fails now fails for ever: retrying would spin
        }
    }
    evArrival.Close();
    evRequest.Close();
    return 1;
}

// One request as the filter takes it under its speed lock: the mutex is had within
// kSetterLockMs (the speed lock is held meanwhile) and kept from Take to Answer, so that the
// request's bytes leave the block only for the answer.
class CVelomixCommServer::RequestExchange final : public CVelomixSpeedExchange {
public:
    RequestExchange(CQShareMemory& block, CQNamedEvent& evRequest) noexcept
        : m_block(block), m_evRequest(evRequest), m_mutex(kVelomixMutexName) {}

    bool Take(VelomixValues& request) noexcept override {
        m_guard = m_mutex.Acquire(kSetterLockMs);
        if (!m_guard) {
            m_bBusy = true;
            return false;
        }
        if (!m_evRequest.Wait(0)) {
            m_guard.Release(); // nothing pending after all
            return false;
        }
        m_bTaken = true;
        m_block.Restore();
        // A block that cannot be read even after restoring it is answered with the values in
        // force, which puts it right.
        m_bRead = ReadBlockValues(m_block, m_request);
        request = m_request;
        return m_bRead;
    }

    void Answer(const VelomixValues& inForce, HRESULT hr) noexcept override {
        if (!m_bTaken) {
            return;
        }
        // A request of the values in force leaves the block as it is and announces nothing.
        if (hr == S_OK || !m_bRead || inForce != m_request) {
            WriteBlockValues(m_block, inForce);
            Notify();
        }
        m_guard.Release();
        if (hr == E_INVALIDARG) {
            LogMessage(LogLevel::Info,
                       "control channel: request refused whole, outside the speed envelope; "
                       "in force: tempo %.17g rate %.17g pitch %d",
                       inForce.dTempo, inForce.dRate, static_cast<int>(inForce.nPitch));
        }
    }

    bool Busy() const noexcept { return m_bBusy; }

private:
    CQShareMemory& m_block;
    CQNamedEvent& m_evRequest;
    CQNamedMutex m_mutex;
    CQNamedMutex::Guard m_guard;
    VelomixValues m_request;
    bool m_bBusy = false;
    bool m_bTaken = false;
    bool m_bRead = false;
};

bool CVelomixCommServer::ApplyRequest(CQNamedEvent& evRequest) noexcept {
    IVelomixSpeedOwner* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        evRequest.Wait(0); // nobody to apply it: dropped, not retried
        return true;
    }
    RequestExchange exchange(m_Block, evRequest);
    pFilter->ExchangeSpeed(exchange);
    return !exchange.Busy();
}
