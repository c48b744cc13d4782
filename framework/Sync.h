// Locks of the framework layer.
//
// Lock order, for every filter built on this layer: the filter-state lock first, then the
// streaming lock (CTransformFilter::m_csReceive); a filter's own locks (the speed filter's
// m_csSpeed) come after the streaming lock, and cross-process locks last of all.
#pragma once

#include "com.h"

#ifndef _WIN32
#include <pthread.h>
#endif

// A recursive in-process lock (a critical section).
class CCritSec {
public:
    CCritSec() noexcept;
    ~CCritSec();
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Lock() noexcept;
    void Unlock() noexcept;

private:
#ifdef _WIN32
    CRITICAL_SECTION m_cs;
#else
    pthread_mutex_t m_mutex;
#endif
};

// Holds a CCritSec for the life of a scope.
class CAutoLock {
public:
    explicit CAutoLock(CCritSec* pLock) noexcept : m_pLock(pLock) { m_pLock->Lock(); }
    ~CAutoLock() { m_pLock->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* m_pLock;
};
