#include "QThread.h"

#include "ThreadPlatform.h"

CQThread::CQThread() noexcept = default;

CQThread::~CQThread() {
    Stop();
}

bool CQThread::Start(void* pParam, Callback pfnRun, Callback pfnStart, Callback pfnEnd,
                     int nPriority) noexcept {
    Stop();
    m_pfnStart = pfnStart;
    m_pfnRun = pfnRun;
    m_pfnEnd = pfnEnd;
    m_pParam = pParam;
    // The worker reads the callbacks only after creation, which orders these writes first.
    m_pThread = velomix_thread::CreatePlatformThread(&CQThread::ThreadBody, this, nPriority);
    return m_pThread != nullptr;
}

void CQThread::Stop() noexcept {
    // Checked first: the worker must not even read m_pThread, which Start may be writing.
    if (m_WorkerKey.load() == velomix_thread::CurrentThreadKey() || !m_pThread) {
        return;
    }
    SignalStop();
    velomix_thread::JoinPlatformThread(*m_pThread);
    m_pThread.reset();
    m_WorkerKey = 0;
    m_pfnStart = nullptr;
    m_pfnRun = nullptr;
    m_pfnEnd = nullptr;
    m_pParam = nullptr;
}

void CQThread::ThreadBody(void* pSelf) noexcept {
    CQThread& self = *static_cast<CQThread*>(pSelf);
    self.m_WorkerKey = velomix_thread::CurrentThreadKey();
    try {
        if (self.m_pfnStart != nullptr && self.m_pfnStart(self.m_pParam) == 0) {
            return;
        }
        if (self.m_pfnRun != nullptr && self.m_pfnRun(self.m_pParam) == 0) {
            return;
        }
        if (self.m_pfnEnd != nullptr) {
            self.m_pfnEnd(self.m_pParam);
        }
    } catch (...) {
        // Nothing may leave a thread procedure; the thread just ends.
    }
}
