#include "VelomixClient.h"

#include <algorithm>
#include <chrono>

#include "SharedBlock.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0u : static_cast<uint32_t>(std::min<long long>(left, kInfinite - 1));
}

Clock::time_point DeadlineIn(uint32_t timeoutMs) {
    return timeoutMs == kInfinite ? Clock::time_point::max()
                                  : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

VelomixStatus CVelomixClient::OpenBlock(CQShareMemory& block) {
    m_problem.clear();
    if (block.Open(kVelomixBlockName, kVelomixBlockDataSize)) {
        return VelomixStatus::Ok;
    }
    m_problem = VelomixNamedObjectsProblem();
    return m_problem.empty() ? VelomixStatus::NoFilter : VelomixStatus::NoChannel;
}

VelomixStatus CVelomixClient::ReadFrom(const CQShareMemory& block, VelomixValues& values) {
    const uint32_t header = block.StoredDataSize();
    if (header == 0) {
        return VelomixStatus::NoFilter; // made by a client; no filter wrote yet
    }
    VelomixValues read;
    if (block.Read(&read.dTempo, kVelomixTempoOffset, sizeof read.dTempo) == 0 ||
        block.Read(&read.dRate, kVelomixRateOffset, sizeof read.dRate) == 0 ||
        block.Read(&read.nPitch, kVelomixPitchOffset, sizeof read.nPitch) == 0) {
        return VelomixStatus::Damaged;
    }
    values = read;
    return header == kVelomixBlockDataSize ? VelomixStatus::Ok : VelomixStatus::Damaged;
}

VelomixStatus CVelomixClient::Read(VelomixValues& values, uint32_t timeoutMs) {
    CQShareMemory block;
    const VelomixStatus opened = OpenBlock(block);
    if (opened != VelomixStatus::Ok) {
        return opened;
    }
    CQNamedMutex mutex(kVelomixMutexName);
    CQNamedMutex::Guard guard = mutex.Acquire(timeoutMs);
    if (!guard) {
        return VelomixStatus::Busy;
    }
    return ReadFrom(block, values);
}

VelomixStatus CVelomixClient::Request(const VelomixValues& request, uint32_t timeoutMs,
                                      VelomixValues* pInForce) {
    const Clock::time_point deadline = DeadlineIn(timeoutMs);
    CQShareMemory block;
    const VelomixStatus opened = OpenBlock(block);
    if (opened != VelomixStatus::Ok) {
        return opened;
    }
    // Checked before anything is written: a request nobody serves would stay in the block
    // as if it were in force.
    CQNamedEvent evRequest;
    if (!evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return VelomixStatus::NotServing;
    }
    // Exists before the request is written, so that the filters signal it from then on.
    if (!m_evChange.IsOpen() && !m_evChange.Create(kVelomixChangeEventName, false, false)) {
        return VelomixStatus::Failed;
    }
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(MsLeft(deadline));
        if (!guard) {
            return VelomixStatus::Busy;
        }
        VelomixValues current;
        const VelomixStatus read = ReadFrom(block, current);
        // A damaged size field does not stop a request: serving it restores the field.
        if (read == VelomixStatus::NoFilter) {
            return read;
        }
        if (read == VelomixStatus::Ok && current == request) {
            if (pInForce != nullptr) {
                *pInForce = current;
            }
            return VelomixStatus::Ok; // the filter would change and announce nothing
        }
        if (block.Write(&request.dTempo, kVelomixTempoOffset, sizeof request.dTempo) == 0 ||
            block.Write(&request.dRate, kVelomixRateOffset, sizeof request.dRate) == 0 ||
            block.Write(&request.nPitch, kVelomixPitchOffset, sizeof request.nPitch) == 0) {
            return VelomixStatus::Failed;
        }
    }
    if (!evRequest.Set()) {
        return VelomixStatus::Failed;
    }

    // Until the serving filter takes the request, the block shows the request itself; once
    // it has, the block shows the request only when the filter's publications did. A request
    // changing several values is published once per value, so a block showing part of it is
    // not the answer yet.
    VelomixValues now = request;
    for (;;) {
        const uint32_t left = MsLeft(deadline);
        if (left == 0) {
            break;
        }
        m_evChange.Wait(std::min(left, kConfirmIntervalMs));
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(MsLeft(deadline));
        if (!guard) {
            break;
        }
        const VelomixStatus read = ReadFrom(block, now);
        if (read != VelomixStatus::Ok || now != request) {
            continue;
        }
        // Still signalled: not taken yet. The server takes a request (resets the event and
        // puts the values in force back into the block) under the mutex, so this look, under
        // it too, tells the request's own bytes from the filter's answer. Taking the signal to
        // look is undone at once.
        if (evRequest.Wait(0)) {
            evRequest.Set();
            continue;
        }
        if (pInForce != nullptr) {
            *pInForce = now;
        }
        return VelomixStatus::Ok;
    }
    if (pInForce != nullptr) {
        *pInForce = now;
    }
    return VelomixStatus::Timeout;
}

bool CVelomixClient::Listen() {
    m_problem.clear();
    if ((m_evChange.IsOpen() || m_evChange.Create(kVelomixChangeEventName, false, false)) &&
        m_evArrival.Create(kVelomixArrivalEventName, false, false) &&
        m_evDeparture.Create(kVelomixDepartureEventName, false, false)) {
        return true;
    }
    m_problem = VelomixNamedObjectsProblem();
    return false;
}

VelomixNotice CVelomixClient::WaitForNotice(uint32_t timeoutMs, CQNamedEvent* pExtra) {
    if (!m_evChange.IsOpen() || !m_evArrival.IsOpen() || !m_evDeparture.IsOpen()) {
        return VelomixNotice::Failed;
    }
    int result;
    if (pExtra != nullptr) {
        result =
            CQNamedEvent::WaitAny({pExtra, &m_evChange, &m_evArrival, &m_evDeparture}, timeoutMs);
    } else {
        result = CQNamedEvent::WaitAny({&m_evChange, &m_evArrival, &m_evDeparture}, timeoutMs);
        result = result >= 0 ? result + 1 : result; // the same numbering as with pExtra
    }
    switch (result) {
    case 0:
        return VelomixNotice::Extra;
    case 1:
        return VelomixNotice::Change;
    case 2:
        return VelomixNotice::Arrival;
    case 3:
        return VelomixNotice::Departure;
    case kWaitTimeout:
        return VelomixNotice::Timeout;
    default:
        return VelomixNotice::Failed;
    }
}

VelomixNotice CVelomixClient::WaitForChange(uint32_t timeoutMs, VelomixValues* pValues,
                                            bool* pbRead, CQNamedEvent* pExtra) {
    const Clock::time_point deadline = DeadlineIn(timeoutMs);
    for (;;) {
        const uint32_t left = MsLeft(deadline);
        const VelomixNotice notice = WaitForNotice(std::min(left, kWatchIntervalMs), pExtra);
        if (notice != VelomixNotice::Change && notice != VelomixNotice::Timeout) {
            return notice;
        }
        VelomixValues now;
        const bool bRead = Read(now, kWatchIntervalMs) == VelomixStatus::Ok;
        const bool bChanged = bRead && (pValues == nullptr || now != *pValues);
        if (notice == VelomixNotice::Change || bChanged) {
            if (bRead && pValues != nullptr) {
                *pValues = now;
            }
            if (pbRead != nullptr) {
                *pbRead = bRead;
            }
            return VelomixNotice::Change;
        }
        if (MsLeft(deadline) == 0) {
            return VelomixNotice::Timeout;
        }
    }
}
