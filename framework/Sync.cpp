#include "Sync.h"

#ifdef _WIN32

CCritSec::CCritSec() noexcept {
    InitializeCriticalSection(&m_cs);
}
CCritSec::~CCritSec() {
    DeleteCriticalSection(&m_cs);
}
void CCritSec::Lock() noexcept {
    EnterCriticalSection(&m_cs);
}
void CCritSec::Unlock() noexcept {
    LeaveCriticalSection(&m_cs);
}

#else

CCritSec::CCritSec() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}
CCritSec::~CCritSec() {
    pthread_mutex_destroy(&m_mutex);
}
void CCritSec::Lock() noexcept {
    pthread_mutex_lock(&m_mutex);
}
void CCritSec::Unlock() noexcept {
    pthread_mutex_unlock(&m_mutex);
}

#endif
