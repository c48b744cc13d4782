// CVelomixClient: the control program's half of the filters' cross-process channel (the
// filter's half is CVelomixCommServer; the protocol is written down in
// docs/control-channel.md). velomixctl and the tests use it.
//
// Every call is bounded by the time-out it is given; nothing waits for another process
// without one. One object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "NamedObjects.h"
#include "SharedBlock.h"

enum class VelomixStatus {
    Ok,
    NoChannel,  // the named objects cannot be had here (Problem() says why)
    NoFilter,   // no shared block, or no filter has written it yet
    Damaged,    // the block's size field holds something else than 20 (a filter restores it
                // at its next publication or request)
    NotServing, // a block, but no filter serves requests ("VELFilter_SVR" missing)
    Busy,       // "VELFilter_MUTEX" was not had within the time-out
    Timeout,    // the serving filter did not take the request within the time-out (the
                // request is then withdrawn: the block shows what it showed before)
    Refused,    // taken and refused whole: the combination lies outside the speed envelope
    Superseded, // another controller's request replaced this one before the filter took it
    Overridden, // taken, but something else (a later request, a change made in a player,
                // another filter's publication) replaced it before it was confirmed; the
                // block shows what is in force now
    Failed,     // a platform call failed
};

// What ended a wait for notices.
enum class VelomixNotice {
    Change,    // "VELFilter_CLI" was set, or the block's values changed
    Arrival,   // "VELFilter_CONSVR": a filter started to serve
    Departure, // "VELFilter_DCONSVR": a filter went away
    Extra,     // the caller's own event
    Timeout,
    Failed,
};

class CVelomixClient {
public:
    // While confirming a request, the block is read on every change notification and at
    // least this often: another listener may have taken the notification.
    static constexpr uint32_t kConfirmIntervalMs = 25;
    // How often WaitForChange reads the block without a notification, for the same reason.
    static constexpr uint32_t kWatchIntervalMs = 100;

    CVelomixClient() noexcept = default;
    CVelomixClient(const CVelomixClient&) = delete;
    CVelomixClient& operator=(const CVelomixClient&) = delete;

    // Why the last call returned NoChannel, for a person; empty otherwise.
    const std::string& Problem() const noexcept { return m_problem; }

    // Reads the values last published, waiting at most timeoutMs for the mutex. Opens the
    // block for the call only, so a client keeps no block alive after the filters.
    VelomixStatus Read(VelomixValues& values, uint32_t timeoutMs);

    // Asks the serving filter for these values and waits, at most timeoutMs in all, for its
    // answer: Ok when they are in force (the filter took the request and the block shows all
    // of it); Refused, Superseded or Overridden as soon as the answer or another request shows
    // they are not; Timeout (request withdrawn) when no filter took it. *pInForce (if given)
    // receives the values last read from the block. Ok at once when the block already holds them
    // and no request is pending (the filter would announce nothing).
    VelomixStatus Request(const VelomixValues& request, uint32_t timeoutMs,
                          VelomixValues* pInForce = nullptr);

    // Creates (or opens) the three notification events, so that no notice is missed from
    // now on. False on failure (Problem() may say why).
    bool Listen();
    // Waits at most timeoutMs for any notice (after Listen), or for pExtra if given. A change
    // notice may be shared with other listeners: each one goes to one of them.
    VelomixNotice WaitForNotice(uint32_t timeoutMs, CQNamedEvent* pExtra = nullptr);
    // Like WaitForNotice, but also reads the block every kWatchIntervalMs and on every change
    // notice, and reports Change (with the values in *pValues, updated) when a notification
    // came or the values differ from *pValues. So every change that reached the block and
    // stayed there for kWatchIntervalMs is seen, whoever else took the notification.
    // *pbRead tells whether the block could be read for a Change.
    VelomixNotice WaitForChange(uint32_t timeoutMs, VelomixValues* pValues, bool* pbRead,
                                CQNamedEvent* pExtra = nullptr);

private:
    VelomixStatus ReadFrom(const CQShareMemory& block, VelomixValues& values);
    VelomixStatus OpenBlock(CQShareMemory& block);

    CQNamedEvent m_evChange;
    CQNamedEvent m_evArrival;
    CQNamedEvent m_evDeparture;
    std::string m_problem;
};
