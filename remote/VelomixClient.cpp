#include "VelomixClient.h"

#include <algorithm>
#include <chrono>

#include "SharedBlock.h"
#include "velomix_speed.h"

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

// What the filter accepts: each value in its range, the three inside the speed envelope, by
// the filter's own arithmetic.
bool IsInSpeedEnvelopeAsFactors(const VelomixValues& v) {
    return velomix_factors_in_speed_envelope(v.dTempo, v.dRate, v.nPitch) != 0;
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
    if (!ReadBlockValues(block, read)) {
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

namespace {

// True while a request waits to be taken. Looking takes the event, so it is set again at
// once; under the mutex, where requests are placed and taken, nobody sees the difference.
bool StillPending(CQNamedEvent& evRequest) {
    if (!evRequest.Wait(0)) {
        return false;
    }
    evRequest.Set();
    return true;
}

} // namespace

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
    VelomixValues before; // what the block showed: put back if nobody takes the request
    bool bBeforeValid = false;
    {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(MsLeft(deadline));
        if (!guard) {
            return VelomixStatus::Busy;
        }
        const VelomixStatus read = ReadFrom(block, before);
        // A damaged size field does not stop a request: serving it restores the field.
        if (read == VelomixStatus::NoFilter) {
            return read;
        }
        bBeforeValid = read == VelomixStatus::Ok;
        if (bBeforeValid && before == request && !StillPending(evRequest)) {
            if (pInForce != nullptr) {
                *pInForce = before;
            }
            return VelomixStatus::Ok; // the filter would change and announce nothing
        }
        if (!WriteBlockValues(block, request)) {
            return VelomixStatus::Failed;
        }
        // Set before the mutex goes: whoever takes the mutex next sees the request pending,
        // and no filter publishes over it.
        if (!evRequest.Set()) {
            return VelomixStatus::Failed;
        }
    }

    // The serving filter takes a request and answers it in one hold of the mutex, so under it
    // the block shows either this request still pending, another controller's request written
    // over it, or an answer: the values in force.
    VelomixValues now = request;
    for (;;) {
        const uint32_t left = MsLeft(deadline);
        m_evChange.Wait(std::min(left, kConfirmIntervalMs));
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(MsLeft(deadline));
        if (!guard) {
            break;
        }
        const VelomixStatus read = ReadFrom(block, now);
        const bool bPending = StillPending(evRequest);
        if (read == VelomixStatus::Ok && now == request) {
            if (!bPending) {
                if (pInForce != nullptr) {
                    *pInForce = now;
                }
                return VelomixStatus::Ok;
            }
            if (MsLeft(deadline) > 0) {
                continue;
            }
            // Nobody took it: withdrawn, so that the block does not show it as in force.
            if (bBeforeValid) {
                WriteBlockValues(block, before);
                now = before;
            }
            evRequest.Wait(0);
            break;
        }
        if (read != VelomixStatus::Ok) {
            if (MsLeft(deadline) > 0) {
                continue;
            }
            break;
        }
        if (pInForce != nullptr) {
            *pInForce = now;
        }
        // Pending with other values: a later request replaced this one before it was taken.
        // Answered with other values: refused, or replaced after it was taken.
        if (bPending) {
            return VelomixStatus::Superseded;
        }
        return IsInSpeedEnvelopeAsFactors(request) ? VelomixStatus::Overridden
                                                   : VelomixStatus::Refused;
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
