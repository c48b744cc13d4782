// CVelomixCommServer: one per speed filter; the filter's end of the cross-process control
// channel (names and block layout in SharedBlock.h).
//
// The server maps the shared block, publishes the filter's tempo, rate and pitch into it and
// runs one thread that serves requests written by a control program. Only one filter among
// all processes of the user serves: the one whose thread created "VELFilter_SVR"; every
// filter publishes.
//
// Locks: the filter's speed lock (taken inside the IVelomixProp setters and getters) comes
// before the named mutex "VELFilter_MUTEX". Publish reads the getters before it locks;
// the server thread copies a request out and unlocks before it calls a setter.
#pragma once

#include <atomic>

#include "IVelomixProp.h"
#include "NamedObjects.h"
#include "QThread.h"

class CVelomixCommServer : public CQThread {
public:
    // Creates the unnamed stop event. If that fails, Start later returns false and the
    // filter runs without the channel.
    CVelomixCommServer() noexcept;
    // Stop, then sets "VELFilter_DCONSVR" if a control program created it (every server,
    // serving or not, started or not), then unmaps the block. Owner's thread.
    ~CVelomixCommServer() override;
    CVelomixCommServer(const CVelomixCommServer&) = delete;
    CVelomixCommServer& operator=(const CVelomixCommServer&) = delete;

    // Stops a previous run, remembers the filter, maps "VELFilter_MEM" (creating it if
    // needed), publishes the filter's values and starts the server thread, which serves
    // requests if no other filter does. pFilter is not AddRef'd (the filter owns this server:
    // a reference would be a cycle); it must stay valid until Stop returns, and its setters
    // and getters must be callable from the server thread. Returns false, with no thread,
    // when the block could not be mapped (the filter then works without the channel); true
    // once the block is mapped, even if the thread could not start. Owner's thread, not
    // while the filter's speed lock is held.
    bool Start(IVelomixProp* pFilter) noexcept;

    // Writes the filter's current values into the block and sets "VELFilter_CLI" if it
    // exists. Called by the filter's setters after each effective change, holding the speed
    // lock, on any thread. False (and nothing written) before Start, after Stop, when the
    // block is not mapped or the named mutex cannot be taken.
    bool Publish() noexcept;

    // Stops the server thread (a request being applied is finished first) and forgets the
    // filter; Publish does nothing afterwards. The block stays mapped. Owner's thread, not
    // while the filter's speed lock is held (the server thread may be waiting for it).
    void Stop() noexcept;

protected:
    // Wakes the server thread so that it leaves its wait.
    void SignalStop() noexcept override;

private:
    // The server thread's body; pParam is the server. Always reports success.
    static int Run(void* pParam) noexcept;
    // Applies one request from the block to the filter. Server thread.
    bool ApplyRequest() noexcept;
    // Publish, but when pRead is given only while the block still holds those data bytes
    // (nobody has written since they were read).
    bool PublishUnless(const uint8_t* pRead) noexcept;

    CQNamedEvent m_evStop; // unnamed, auto-reset
    std::atomic<IVelomixProp*> m_pFilter{nullptr};
    CQShareMemory m_Block;
    std::atomic<bool> m_bReady{false}; // block mapped; never cleared
};
