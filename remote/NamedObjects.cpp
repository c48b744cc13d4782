// The platform-independent parts of the named objects.
#include "NamedObjects.h"

#include <cstring>

bool velomix_ipc::IsValidName(const char* pszName) noexcept {
    if (pszName == nullptr || pszName[0] == '\0' || pszName[0] == '.') {
        return false;
    }
    // '/' would leave the object directory; a leading '.' is kept for private files.
    return std::strlen(pszName) <= 200 && std::strchr(pszName, '/') == nullptr;
}

// ---------------------------------------------------------------------------------------------
// CQNamedMutex

CQNamedMutex::CQNamedMutex() noexcept = default;

CQNamedMutex::CQNamedMutex(const char* pszName) noexcept {
    SetName(pszName);
}

CQNamedMutex::~CQNamedMutex() {
    Unlock();
}

void CQNamedMutex::SetName(const char* pszName) noexcept {
    Close();
    m_szName.fill('\0');
    if (pszName != nullptr && std::strlen(pszName) < m_szName.size()) {
        std::strcpy(m_szName.data(), pszName);
    }
}

void CQNamedMutex::Close() noexcept {
    m_hKept.reset();
}

CQNamedMutex::Guard CQNamedMutex::Acquire(uint32_t timeoutMs) noexcept {
    bool bAbandoned = false;
    if (!Lock(timeoutMs, &bAbandoned)) {
        return Guard();
    }
    return Guard(this, bAbandoned);
}

CQNamedMutex::Guard::Guard(Guard&& other) noexcept
    : m_pMutex(other.m_pMutex), m_bAbandoned(other.m_bAbandoned) {
    other.m_pMutex = nullptr;
}

CQNamedMutex::Guard& CQNamedMutex::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        Release();
        m_pMutex = other.m_pMutex;
        m_bAbandoned = other.m_bAbandoned;
        other.m_pMutex = nullptr;
    }
    return *this;
}

CQNamedMutex::Guard::~Guard() {
    Release();
}

void CQNamedMutex::Guard::Release() noexcept {
    if (m_pMutex != nullptr) {
        m_pMutex->Unlock();
        m_pMutex = nullptr;
    }
}

void CQNamedEvent::Close() noexcept {
    m_hEvent.reset();
}

int CQNamedEvent::WaitAny(std::initializer_list<CQNamedEvent*> events,
                          uint32_t timeoutMs) noexcept {
    return WaitFor(events, nullptr, nullptr, timeoutMs);
}

int CQNamedEvent::WaitAnyWatching(std::initializer_list<CQNamedEvent*> events,
                                  CQNamedEvent& watched, const char* pszMutex,
                                  uint32_t timeoutMs) noexcept {
    return WaitFor(events, &watched, pszMutex, timeoutMs);
}

// ---------------------------------------------------------------------------------------------
// CQShareMemory

CQShareMemory::CQShareMemory() noexcept = default;

CQShareMemory::~CQShareMemory() {
    Close();
}

bool CQShareMemory::Create(const char* pszName, uint32_t dwDataSize) noexcept {
    return Map(pszName, dwDataSize, true);
}

bool CQShareMemory::Open(const char* pszName, uint32_t dwDataSize) noexcept {
    return Map(pszName, dwDataSize, false);
}
