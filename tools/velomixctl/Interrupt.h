// Turns an interrupt (SIGINT/SIGTERM; Ctrl+C/Ctrl+Break/console close on Windows) into a set
// event, so the program can wait for it together with named events.
#pragma once

#include "NamedObjects.h"

class CInterruptEvent {
public:
    // Opens the event and routes interrupts to it; IsOpen tells whether that worked. Create
    // at most one, on the main thread, before any other thread is started.
    CInterruptEvent() noexcept;
    ~CInterruptEvent(); // interrupts get their default handling again
    CInterruptEvent(const CInterruptEvent&) = delete;
    CInterruptEvent& operator=(const CInterruptEvent&) = delete;

    bool IsOpen() const noexcept { return m_bOpen; }
    // The event, manual-reset: set once an interrupt arrived.
    CQNamedEvent& Event() noexcept { return m_evInterrupt; }

private:
    CQNamedEvent m_evInterrupt;
    bool m_bOpen = false;
};
