// The console control handler runs on a thread of its own that the system starts for it.
#include "JobInterrupt.h"

#include "com.h"

#include <atomic>

namespace {

constexpr UINT kInterruptedExit = 0xC000013A; // STATUS_CONTROL_C_EXIT

std::atomic<bool> g_bRequested{false};
std::atomic<const char*> g_pszRemove{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (!g_bRequested.exchange(true))
        return TRUE;
    if (const char* path = g_pszRemove.load())
        DeleteFileA(path);
    ExitProcess(kInterruptedExit);
}

} // namespace

CJobInterrupt::CJobInterrupt() noexcept {
    g_bRequested = false;
    g_pszRemove = nullptr;
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

CJobInterrupt::~CJobInterrupt() {
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    g_pszRemove = nullptr;
}

bool CJobInterrupt::Requested() const noexcept {
    return g_bRequested.load();
}

void CJobInterrupt::RemoveOnSecond(const char* path) noexcept {
    g_pszRemove = path;
}

void CJobInterrupt::EndProcess() noexcept {
    ExitProcess(kInterruptedExit);
}
