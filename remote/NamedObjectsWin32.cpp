// Named objects on Windows: Win32 mutexes, events and paging-file mappings of the session
// namespace. Names are UTF-8 and reach the system through the wide calls, so one name means
// one object whatever a process's code page.
#include "NamedObjects.h"

#include "win32/WideText.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <windows.h>

namespace velomix_ipc {

struct Object {
    HANDLE hObject = nullptr;
    void* pView = nullptr; // mappings: the whole mapped view
};

void ObjectCloser::operator()(Object* pObject) const noexcept {
    std::unique_ptr<Object> owned(pObject);
    if (!owned) {
        return;
    }
    if (owned->pView != nullptr) {
        UnmapViewOfFile(owned->pView);
    }
    if (owned->hObject != nullptr) {
        CloseHandle(owned->hObject);
    }
}

} // namespace velomix_ipc

using velomix_ipc::Object;
using velomix_ipc::ObjectPtr;

namespace {

// Wraps a fresh handle; closes it again when no wrapper can be allocated.
ObjectPtr Wrap(HANDLE hObject) noexcept {
    if (hObject == nullptr) {
        return nullptr;
    }
    try {
        ObjectPtr obj(std::make_unique<Object>().release());
        obj->hObject = hObject;
        return obj;
    } catch (const std::bad_alloc&) {
        CloseHandle(hObject);
        return nullptr;
    }
}

// A name for the wide calls: null stays null (an unnamed object); false for text that is not
// UTF-8.
bool WideName(const char* pszName, std::wstring* wide, const WCHAR** ppszWide) noexcept {
    *ppszWide = nullptr;
    if (pszName == nullptr) {
        return true;
    }
    if (!WideFromUtf8(pszName, wide) || wide->empty()) {
        return false;
    }
    *ppszWide = wide->c_str();
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CQNamedMutex

bool CQNamedMutex::Lock(uint32_t timeoutMs, bool* pbAbandoned) noexcept {
    if (pbAbandoned != nullptr) {
        *pbAbandoned = false;
    }
    if (m_szName[0] == '\0' || m_hMutex || !velomix_ipc::IsValidName(m_szName.data())) {
        return false;
    }
    std::wstring wide;
    const WCHAR* pszWide = nullptr;
    if (!WideName(m_szName.data(), &wide, &pszWide)) {
        return false;
    }
    // Asking for initial ownership makes a new mutex ours at once; an existing one is waited
    // for.
    ObjectPtr handle = Wrap(CreateMutexW(nullptr, TRUE, pszWide));
    if (!handle) {
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD result = WaitForSingleObject(handle->hObject, timeoutMs);
        if (result == WAIT_ABANDONED) {
            if (pbAbandoned != nullptr) {
                *pbAbandoned = true;
            }
        } else if (result != WAIT_OBJECT_0) {
            return false; // time-out or failure: not ours
        }
    }
    m_hMutex = std::move(handle);
    return true;
}

bool CQNamedMutex::Open(uint32_t /*timeoutMs*/) noexcept {
    if (m_hKept) {
        return true;
    }
    if (m_szName[0] == '\0' || !velomix_ipc::IsValidName(m_szName.data())) {
        return false;
    }
    std::wstring wide;
    const WCHAR* pszWide = nullptr;
    if (!WideName(m_szName.data(), &wide, &pszWide)) {
        return false;
    }
    // Not owned: a kept handle only keeps the object; each Lock still waits for it.
    m_hKept = Wrap(CreateMutexW(nullptr, FALSE, pszWide));
    return IsOpen();
}

void CQNamedMutex::Unlock() noexcept {
    if (!m_hMutex) {
        return;
    }
    ReleaseMutex(m_hMutex->hObject);
    m_hMutex.reset();
}

// ---------------------------------------------------------------------------------------------
// CQNamedEvent

CQNamedEvent::CQNamedEvent() noexcept = default;

CQNamedEvent::~CQNamedEvent() = default;

bool CQNamedEvent::Create(const char* pszName, bool bManualReset, bool bInitialState,
                          bool* pbExisted) noexcept {
    Close();
    if (pbExisted != nullptr) {
        *pbExisted = false;
    }
    if (pszName != nullptr && !velomix_ipc::IsValidName(pszName)) {
        return false;
    }
    std::wstring wide;
    const WCHAR* pszWide = nullptr;
    if (!WideName(pszName, &wide, &pszWide)) {
        return false;
    }
    HANDLE hEvent =
        CreateEventW(nullptr, bManualReset ? TRUE : FALSE, bInitialState ? TRUE : FALSE, pszWide);
    const bool bExisted = hEvent != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    m_hEvent = Wrap(hEvent);
    if (pbExisted != nullptr) {
        *pbExisted = bExisted && m_hEvent;
    }
    return IsOpen();
}

bool CQNamedEvent::CreateNew(const char* pszName, bool bManualReset, bool bInitialState) noexcept {
    bool bExisted = false;
    if (pszName == nullptr || !Create(pszName, bManualReset, bInitialState, &bExisted)) {
        return false;
    }
    if (bExisted) {
        Close();
        return false;
    }
    return true;
}

bool CQNamedEvent::OpenExisting(const char* pszName, bool bManualReset,
                                bool bInitialState) noexcept {
    bool bExisted = false;
    if (pszName == nullptr || !Create(pszName, bManualReset, bInitialState, &bExisted)) {
        return false;
    }
    if (!bExisted) {
        Close(); // the event just made disappears with its only handle
        return false;
    }
    return true;
}

bool CQNamedEvent::Set() noexcept {
    return m_hEvent && SetEvent(m_hEvent->hObject) != FALSE;
}

bool CQNamedEvent::Reset() noexcept {
    return m_hEvent && ResetEvent(m_hEvent->hObject) != FALSE;
}

bool CQNamedEvent::Wait(uint32_t timeoutMs) noexcept {
    return m_hEvent && WaitForSingleObject(m_hEvent->hObject, timeoutMs) == WAIT_OBJECT_0;
}

int CQNamedEvent::WaitFor(std::initializer_list<CQNamedEvent*> events, CQNamedEvent* pWatched,
                          const char* pszMutex, uint32_t timeoutMs) noexcept {
    const size_t total = events.size() + (pWatched != nullptr ? 1 : 0);
    if (total == 0 || total > MAXIMUM_WAIT_OBJECTS) {
        return kWaitFailed;
    }
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD count = 0;
    for (CQNamedEvent* pEvent : events) {
        if (pEvent == nullptr || !pEvent->m_hEvent) {
            return kWaitFailed;
        }
        handles[count++] = pEvent->m_hEvent->hObject;
    }
    if (pWatched == nullptr) {
        // With several signalled, the lowest index is reported and only that one is reset.
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
        if (result < WAIT_OBJECT_0 + count) {
            return static_cast<int>(result - WAIT_OBJECT_0);
        }
        return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
    }
    std::wstring wideMutex;
    const WCHAR* pszWideMutex = nullptr;
    if (!pWatched->m_hEvent || !velomix_ipc::IsValidName(pszMutex) ||
        !WideName(pszMutex, &wideMutex, &pszWideMutex)) {
        return kWaitFailed;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        if (count > 0) {
            const DWORD result = WaitForMultipleObjects(count, handles, FALSE, 0);
            if (result < WAIT_OBJECT_0 + count) {
                return static_cast<int>(result - WAIT_OBJECT_0);
            }
            if (result != WAIT_TIMEOUT) {
                return kWaitFailed;
            }
        }
        DWORD sliceMs = kWatchSliceMs;
        if (timeoutMs != kInfinite) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs) {
                return kWaitTimeout;
            }
            sliceMs = std::min<DWORD>(sliceMs, timeoutMs - elapsed);
        }
        // Waiting takes an auto-reset event: take it only together with the mutex and give it
        // back before the mutex goes, so nobody holding the mutex sees it taken.
        ObjectPtr mutex = Wrap(CreateMutexW(nullptr, FALSE, pszWideMutex));
        if (!mutex) {
            return kWaitFailed;
        }
        HANDLE pair[2] = {mutex->hObject, pWatched->m_hEvent->hObject};
        const DWORD result = WaitForMultipleObjects(2, pair, TRUE, sliceMs);
        if (result < WAIT_OBJECT_0 + 2 ||
            (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + 2)) {
            SetEvent(pair[1]);
            ReleaseMutex(pair[0]);
            return static_cast<int>(count);
        }
        if (result != WAIT_TIMEOUT) {
            return kWaitFailed;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// CQShareMemory

bool CQShareMemory::Map(const char* pszName, uint32_t dwDataSize, bool bCreate) noexcept {
    Close();
    if (!velomix_ipc::IsValidName(pszName) || dwDataSize > MAXDWORD - 4) {
        return false;
    }
    const DWORD dwSize = dwDataSize + 4;
    std::wstring wide;
    const WCHAR* pszWide = nullptr;
    if (!WideName(pszName, &wide, &pszWide)) {
        return false;
    }
    // Backed by the paging file; an existing mapping of that name is simply opened.
    ObjectPtr mapping = Wrap(bCreate ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                                          PAGE_READWRITE, 0, dwSize, pszWide)
                                     : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, pszWide));
    if (!mapping) {
        return false;
    }
    mapping->pView = MapViewOfFile(mapping->hObject, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (mapping->pView == nullptr) {
        return false;
    }
    // Someone else may have made the mapping smaller than asked for.
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(mapping->pView, &info, sizeof info) == 0 || info.RegionSize < dwSize) {
        return false;
    }
    uint8_t* view = static_cast<uint8_t*>(mapping->pView);
    if (bCreate) {
        std::memcpy(view, &dwDataSize, sizeof dwDataSize);
        FlushViewOfFile(view, sizeof dwDataSize);
    }
    m_hMapping = std::move(mapping);
    m_pData = view + 4;
    m_dwDataSize = dwDataSize;
    return true;
}

uint32_t CQShareMemory::Write(const void* pSrc, uint32_t dwOffset, uint32_t cb) noexcept {
    if (m_pData == nullptr || pSrc == nullptr || dwOffset > m_dwDataSize ||
        cb > m_dwDataSize - dwOffset) {
        return 0;
    }
    std::memcpy(m_pData + dwOffset, pSrc, cb);
    return FlushViewOfFile(m_pData + dwOffset, cb) != FALSE ? cb : 0;
}

void CQShareMemory::Close() noexcept {
    m_pData = nullptr;
    m_dwDataSize = 0;
    m_hMapping.reset();
}

uint32_t CQShareMemory::Read(void* pDst, uint32_t dwOffset, uint32_t cb) const noexcept {
    if (m_pData == nullptr || pDst == nullptr || dwOffset > m_dwDataSize ||
        cb > m_dwDataSize - dwOffset) {
        return 0;
    }
    std::memcpy(pDst, m_pData + dwOffset, cb);
    return cb;
}

uint32_t CQShareMemory::StoredDataSize() const noexcept {
    uint32_t size = 0;
    if (m_pData != nullptr) {
        std::memcpy(&size, m_pData - 4, sizeof size);
    }
    return size;
}

bool CQShareMemory::Restore() noexcept {
    // A paging-file mapping keeps its size; only the header can have been overwritten.
    if (m_pData == nullptr) {
        return false;
    }
    if (StoredDataSize() != m_dwDataSize) {
        std::memcpy(m_pData - 4, &m_dwDataSize, sizeof m_dwDataSize);
        FlushViewOfFile(m_pData - 4, sizeof m_dwDataSize);
    }
    return true;
}

std::string VelomixNamedObjectsProblem() {
    return std::string(); // the session's kernel namespace is the user's own
}

// Creating, opening and setting named objects do not wait for other processes here, and every
// lock is given its own time-out: there is nothing to bound.
CQWaitBound::CQWaitBound(uint32_t boundMs) noexcept
    : m_previousMs(boundMs), m_bPreviousTimedOut(false) {}

CQWaitBound::~CQWaitBound() = default;

bool CQWaitBound::TimedOut() const noexcept {
    return false;
}
