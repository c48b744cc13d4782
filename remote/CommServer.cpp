#include "CommServer.h"

#include <cstring>

#include "SharedBlock.h"

CVelomixCommServer::CVelomixCommServer() noexcept {
    m_evStop.Create(nullptr, false, false);
}

CVelomixCommServer::~CVelomixCommServer() {
    Stop();
    {
        CQNamedEvent evDeparture;
        CQNamedMutex mutex(kVelomixMutexName);
        if (CQNamedMutex::Guard guard = mutex.Acquire()) {
            if (evDeparture.OpenExisting(kVelomixDepartureEventName, false, false)) {
                evDeparture.Set();
            }
        }
    }
    m_Block.Close();
    m_evStop.Close();
}

bool CVelomixCommServer::Start(IVelomixProp* pFilter) noexcept {
    Stop();
    m_pFilter = pFilter;
    if (!m_evStop.IsOpen()) {
        return false; // a thread without a stop event could never be stopped
    }
    {
        CQNamedMutex mutex(kVelomixMutexName);
        if (CQNamedMutex::Guard guard = mutex.Acquire()) {
            if (m_Block.Create(kVelomixBlockName, kVelomixBlockDataSize)) {
                m_bReady = true;
            }
        }
    }
    if (!m_bReady) {
        return false;
    }
    Publish();
    CQThread::Start(this, &CVelomixCommServer::Run);
    return true;
}

bool CVelomixCommServer::Publish() noexcept {
    return PublishUnless(nullptr);
}

bool CVelomixCommServer::PublishUnless(const uint8_t* pRead) noexcept {
    IVelomixProp* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return false;
    }
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

    CQNamedEvent evChange; // declared first: closed after the unlock
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire();
    if (!guard) {
        return false;
    }
    if (pRead != nullptr) {
        uint8_t now[kVelomixBlockDataSize];
        if (m_Block.Read(now, 0, sizeof now) != sizeof now ||
            std::memcmp(now, pRead, sizeof now) != 0) {
            return false;
        }
    }
    m_Block.Write(&dTempo, kVelomixTempoOffset, sizeof dTempo);
    m_Block.Write(&dRate, kVelomixRateOffset, sizeof dRate);
    m_Block.Write(&nPitch32, kVelomixPitchOffset, sizeof nPitch32);
    if (evChange.OpenExisting(kVelomixChangeEventName, false, false)) {
        evChange.Set();
    }
    return true;
}

void CVelomixCommServer::Stop() noexcept {
    CQThread::Stop();
    m_evStop.Reset();
    m_pFilter = nullptr;
}

void CVelomixCommServer::SignalStop() noexcept {
    m_evStop.Set();
}

int CVelomixCommServer::Run(void* pParam) noexcept {
    CVelomixCommServer& self = *static_cast<CVelomixCommServer*>(pParam);
    CQNamedEvent evRequest;
    CQNamedEvent evArrival;
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire();
        // An existing request event means another filter serves: this one only publishes.
        if (!guard || !evRequest.CreateNew(kVelomixRequestEventName, false, false)) {
            return 1;
        }
        if (evArrival.OpenExisting(kVelomixArrivalEventName, false, false)) {
            evArrival.Set();
        }
    }
    for (;;) {
        const int result = CQNamedEvent::WaitAny({&self.m_evStop, &evRequest}, kInfinite);
        if (result == 0) {
            break;
        }
        if (result == 1) {
            self.ApplyRequest();
        } else if (result == kWaitFailed) {
            break; // a wait that fails now fails for ever: retrying would spin
        }
    }
    evArrival.Close();
    evRequest.Close();
    return 1;
}

bool CVelomixCommServer::ApplyRequest() noexcept {
    IVelomixProp* pFilter = m_pFilter;
    if (!m_bReady || pFilter == nullptr) {
        return false;
    }
    double dTempo = 1.0;
    double dRate = 1.0;
    int32_t nPitch = 0;
    uint8_t request[kVelomixBlockDataSize] = {};
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire();
        if (!guard) {
            return false;
        }
        m_Block.Read(&dTempo, kVelomixTempoOffset, sizeof dTempo);
        m_Block.Read(&dRate, kVelomixRateOffset, sizeof dRate);
        m_Block.Read(&nPitch, kVelomixPitchOffset, sizeof nPitch);
        m_Block.Read(request, 0, sizeof request);
    }
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
        PublishUnless(request);
    }
    return true;
}
