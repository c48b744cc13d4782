// Interrupts on Windows: the console control handler runs on a thread of its own, where
// setting an event is allowed.
#include "Interrupt.h"

#include <atomic>

#include <windows.h>

namespace {

std::atomic<CQNamedEvent*> g_pEvent{nullptr};

BOOL WINAPI OnConsoleControl(DWORD /*dwCtrlType*/) {
    CQNamedEvent* pEvent = g_pEvent.load();
    return pEvent != nullptr && pEvent->Set() ? TRUE : FALSE;
}

} // namespace

CInterruptEvent::CInterruptEvent() noexcept {
    if (!m_evInterrupt.Create(nullptr, true, false)) {
        return;
    }
    g_pEvent = &m_evInterrupt;
    m_bOpen = SetConsoleCtrlHandler(&OnConsoleControl, TRUE) != FALSE;
    if (!m_bOpen) {
        g_pEvent = nullptr;
    }
}

CInterruptEvent::~CInterruptEvent() {
    if (m_bOpen) {
        SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
        g_pEvent = nullptr;
    }
}
