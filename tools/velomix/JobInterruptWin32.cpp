// The console control handler runs on a thread of its own that the system starts for it.
#include "JobInterrupt.h"

#include "com.h"
#include "win32/WideText.h"

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
    // The path is UTF-8, like every path of the hosts.
    std::wstring wide;
    if (const char* path = g_pszRemove.load(); path && WideFromUtf8(path, &wide))
        DeleteFileW(wide.c_str());
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
