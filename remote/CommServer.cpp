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
    m_evWake.Close();
    m_evStop.Close();
}

bool CVelomixCommServer::Start(IVelomixProp* pFilter) noexcept {
    Stop();
    m_pFilter = pFilter;
    if (!m_evStop.IsOpen() || !m_evWake.IsOpen()) {
        return false; // a thread without its events could never be stopped or woken
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
    IVelomixProp* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return false;
    }
    m_nVersion.fetch_add(1);
    // Nothing below may hold up the setter's caller for long on another process.
    CQWaitBound bound(kSetterLockMs);
    if (WriteValues(pFilter, kSetterLockMs, nullptr, false, 0) != WriteResult::Written) {
        Post(kWorkPublish);
        return false;
    }
    if (bound.TimedOut()) {
        Post(kWorkNotify); // the notification may not have gone out: the thread sends it
    }
    return true;
}

bool CVelomixCommServer::PublishPending() noexcept {
    IVelomixProp* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return true;
    }
    return WriteValues(pFilter, kThreadLockMs, nullptr, true, m_nVersion.load()) !=
           WriteResult::Busy;
}

CVelomixCommServer::WriteResult
CVelomixCommServer::WriteValues(IVelomixProp* pFilter, uint32_t timeoutMs, const uint8_t* pRead,
                                bool bCheckVersion, uint64_t nVersion) noexcept {
    // Read before locking: the getters take the filter's speed lock, which must never be
    // entered while the named mutex is held.
    double dTempo = 1.0;
    double dRate = 1.0;
    int nPitch = 0;
    if (FAILED(pFilter->GetTempo(&dTempo))) {
        dTempo = 1.0;
    }
    if (FAILED(pFilter->GetRate(&dRate))) {
        dRate = 1.0;
    }
    if (FAILED(pFilter->GetPitch(&nPitch))) {
        nPitch = 0;
    }
    const int32_t nPitch32 = nPitch;

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
    m_Block.Restore();
    if (pRead != nullptr) {
        uint8_t now[kVelomixBlockDataSize];
        if (m_Block.Read(now, 0, sizeof now) != sizeof now ||
            std::memcmp(now, pRead, sizeof now) != 0) {
            return WriteResult::Skipped;
        }
    }
    m_Block.Write(&dTempo, kVelomixTempoOffset, sizeof dTempo);
    m_Block.Write(&dRate, kVelomixRateOffset, sizeof dRate);
    m_Block.Write(&nPitch32, kVelomixPitchOffset, sizeof nPitch32);
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
            self.m_nWork.fetch_or(again);
        }
        const uint32_t timeoutMs = again != 0 ? kRetryMs : (bServing ? kInfinite : kTakeoverMs);
        // A request put off waits for its retry, not for its own event (still set).
        const bool bWaitForRequest = bServing && (again & kWorkRequest) == 0;
        const int result =
            bWaitForRequest
                ? CQNamedEvent::WaitAny({&self.m_evStop, &self.m_evWake, &evRequest}, timeoutMs)
                : CQNamedEvent::WaitAny({&self.m_evStop, &self.m_evWake}, timeoutMs);
        if (result == 0) {
            break;
        }
        if (result == 2) {
            // The wait took the signal; it shows the request pending until ApplyRequest takes
            // it under the mutex, so that a control program confirming its request never
            // mistakes its own bytes in the block for the filter's answer.
            evRequest.Set();
            if (!self.ApplyRequest(evRequest)) {
                self.m_nWork.fetch_or(kWorkRequest);
            }
        } else if (result == kWaitFailed) {
            break; // a wait that fails now fails for ever: retrying would spin
        }
    }
    evArrival.Close();
    evRequest.Close();
    return 1;
}

bool CVelomixCommServer::ApplyRequest(CQNamedEvent& evRequest) noexcept {
    IVelomixProp* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        evRequest.Wait(0); // nobody to apply it: dropped, not retried
        return true;
    }
    double dTempo = 1.0;
    double dRate = 1.0;
    int32_t nPitch = 0;
    uint8_t request[kVelomixBlockDataSize] = {};
    // What the block shows once the request is taken: the values in force before it.
    uint8_t shown[kVelomixBlockDataSize] = {};
    bool bRead = false;
    {
        // Read before locking, as for a publication (the getters take the speed lock).
        const uint64_t nVersion = m_nVersion.load();
        double dInForce[2] = {1.0, 1.0};
        int nInForce = 0;
        const bool bInForce = SUCCEEDED(pFilter->GetTempo(&dInForce[0])) &&
                              SUCCEEDED(pFilter->GetRate(&dInForce[1])) &&
                              SUCCEEDED(pFilter->GetPitch(&nInForce));
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(kThreadLockMs);
        if (!guard) {
            return false;
        }
        // Taken: from here on the request event no longer shows it pending, and the block
        // shows the values in force before it, so that it shows the request again only once
        // the setters below have published all of it. (A setter that published meanwhile
        // already replaced the request with newer values.)
        evRequest.Wait(0);
        m_Block.Restore();
        bRead = m_Block.Read(request, 0, sizeof request) == sizeof request;
        std::memcpy(shown, request, sizeof shown);
        if (bRead && bInForce && m_nVersion.load() == nVersion) {
            const int32_t nPitch32 = nInForce;
            std::memcpy(shown + kVelomixTempoOffset, &dInForce[0], sizeof dInForce[0]);
            std::memcpy(shown + kVelomixRateOffset, &dInForce[1], sizeof dInForce[1]);
            std::memcpy(shown + kVelomixPitchOffset, &nPitch32, sizeof nPitch32);
            m_Block.Write(shown, 0, sizeof shown);
        }
    }
    if (!bRead) {
        // The block cannot be read even after restoring it: show the filter's values again.
        if (!PublishPending()) {
            Post(kWorkPublish);
        }
        return true;
    }
    std::memcpy(&dTempo, request + kVelomixTempoOffset, sizeof dTempo);
    std::memcpy(&dRate, request + kVelomixRateOffset, sizeof dRate);
    std::memcpy(&nPitch, request + kVelomixPitchOffset, sizeof nPitch);
    // Each effective setter publishes by itself. A refused value changes nothing and so
    // publishes nothing, which would leave the refused request in the block as if in force.
    bool bTempoOk = SUCCEEDED(pFilter->SetTempo(dTempo));
    bool bRateOk = SUCCEEDED(pFilter->SetRate(dRate));
    const bool bPitchOk = SUCCEEDED(pFilter->SetPitch(nPitch));
    // A tempo or rate refused only beside the old pitch (the speed envelope) may pass beside
    // the new one.
    if (bPitchOk && !bTempoOk) {
        bTempoOk = SUCCEEDED(pFilter->SetTempo(dTempo));
    }
    if (bPitchOk && !bRateOk) {
        bRateOk = SUCCEEDED(pFilter->SetRate(dRate));
    }
    if (!bTempoOk || !bRateOk || !bPitchOk) {
        // This publication reads the values outside the filter's speed lock: a setter on
        // another thread may change and publish them before it writes. Anything written since
        // the request (that setter, another filter, a new request) is newer, so it stays.
        if (WriteValues(pFilter, kThreadLockMs, shown, true, m_nVersion.load()) ==
            WriteResult::Busy) {
            Post(kWorkPublish);
        }
    }
    return true;
}
