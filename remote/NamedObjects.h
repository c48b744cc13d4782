// Named kernel objects shared between processes of one user: a mutex, events and a small
// shared-memory block.
//
// Windows: the Win32 kernel objects of the session namespace. Elsewhere: objects with the
// same behaviour, kept in a per-user directory (mode 0700, owned by the caller; files 0600):
// $VELOMIX_IPC_DIR when set (an absolute path; created if missing, its parent must exist), else
// the first sound one of $XDG_RUNTIME_DIR/velomix (if that directory is the user's own),
// /dev/shm/velomix-<uid> (if /dev/shm exists) and /tmp/velomix-<uid>, tried in that order by
// every process, so all of the user's settle on the same one; passing over a refused one is said
// once per process (LogNotice). Another user's objects are never seen: a directory not owned by
// the effective user, or open to others, is refused, and with none left (or the one
// VELOMIX_IPC_DIR names refused) every create and open fails.
//
// The folder is checked on every create and open (see VelomixNamedObjectsProblem for why it
// was refused).
//
// Bounds: no call waits without limit for another process except the waits given kInfinite.
// Elsewhere than Windows, creating, opening, setting and resetting wait at most 1 s for a
// directory lock that other processes hold for microseconds, closing at most 20 ms (the files
// of a last handle that could not get it are then removed by the next opener); a Lock's
// time-out covers its open as well as the mutex itself (so it may last up to twice as long).
//
// Semantics shared by both platforms:
// - An object lives as long as some handle to it is open in some process; a process that
//   ends, also by being killed, closes its handles. A name whose last handle has closed
//   names nothing: the next creation makes a fresh object (a fresh memory block reads zero).
// - Handles are not inherited by programs started with exec (and should not be used in a
//   fork()ed child before exec).
// - Names: 1 to 200 characters, without '/' and not starting with '.'; anything else fails.
// - Waits for events and mutexes block in the kernel. Only the brief directory lock (elsewhere
//   than Windows), which has no timed form, is tried again after pauses of 50 us to 2 ms.
//
// Threads: creating, opening, locking, unlocking and closing through one C++ object need one
// thread at a time. Set, Reset and the waits of one CQNamedEvent, and Read and Write of one
// CQShareMemory, may run on several threads at once. Objects naming the same kernel object
// may be used on any threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

// Time-out meaning "wait for ever".
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of CQNamedEvent::WaitAny besides the index of the signalled event.
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;

namespace velomix_ipc {
// A platform handle; defined by the platform implementation.
struct Object;
struct ObjectCloser {
    void operator()(Object* pObject) const noexcept;
};
using ObjectPtr = std::unique_ptr<Object, ObjectCloser>;
// The naming rule above.
bool IsValidName(const char* pszName) noexcept;
} // namespace velomix_ipc

// A named, cross-process mutex, recursive per thread. Each Lock opens its own handle to
// the kernel object and Unlock closes it again, so the object exists only while someone
// holds or waits for it, or keeps a handle open with Open. A mutex whose owner ended (thread or
// process) without releasing it is taken over by the next waiter, which is told it was abandoned;
// the data it guards may be half-written.
class CQNamedMutex {
public:
    class Guard;

    CQNamedMutex() noexcept;
    // Same as SetName(pszName).
    explicit CQNamedMutex(const char* pszName) noexcept;
    virtual ~CQNamedMutex(); // unlocks if locked
    CQNamedMutex(const CQNamedMutex&) = delete;
    CQNamedMutex& operator=(const CQNamedMutex&) = delete;

    // Names the mutex for the following Lock calls (closing a handle kept by Open). A null or
    // over-long name leaves the name empty, so that Lock fails. Not while locked.
    void SetName(const char* pszName) noexcept;

    // Opens (creating it if needed) the mutex without acquiring it and keeps that handle until
    // Close, SetName or destruction: the object then lasts between locks instead of being made
    // anew by each, which on the native build spares every Lock in this process (through any
    // CQNamedMutex of the name) the making of its file. Waits at most timeoutMs. True when a
    // handle is kept (also when one was already).
    bool Open(uint32_t timeoutMs = kInfinite) noexcept;
    // Closes the handle kept by Open; a lock held stays held.
    void Close() noexcept;
    bool IsOpen() const noexcept { return m_hKept != nullptr; }

    // Opens (creating it if needed) and acquires the mutex, waiting at most timeoutMs
    // milliseconds (kInfinite: no limit; 0: try once). True when acquired, including an
    // abandoned mutex (then *pbAbandoned is set true). False on time-out, an empty name, a
    // mutex already locked through this object, or a platform failure.
    bool Lock(uint32_t timeoutMs = kInfinite, bool* pbAbandoned = nullptr) noexcept;

    // Lock, with Unlock done by the returned guard's destructor. Test the guard for success.
    Guard Acquire(uint32_t timeoutMs = kInfinite) noexcept;

    // Releases the mutex and closes the handle; does nothing when not locked. Must run on
    // the thread that locked.
    void Unlock() noexcept;

    bool IsLocked() const noexcept { return m_hMutex != nullptr; }

private:
    velomix_ipc::ObjectPtr m_hMutex;
    velomix_ipc::ObjectPtr m_hKept; // Open's handle
    std::array<char, 208> m_szName{};
};

// Holds a CQNamedMutex locked for its own lifetime (if the lock succeeded). Move-only;
// must not outlive the mutex object.
class CQNamedMutex::Guard {
public:
    Guard() noexcept = default;
    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&& other) noexcept;
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    explicit operator bool() const noexcept { return m_pMutex != nullptr; }
    // True when the lock took over an abandoned mutex.
    bool Abandoned() const noexcept { return m_bAbandoned; }
    // Unlocks now; the guard is then empty.
    void Release() noexcept;

private:
    friend class CQNamedMutex;
    Guard(CQNamedMutex* pMutex, bool bAbandoned) noexcept
        : m_pMutex(pMutex), m_bAbandoned(bAbandoned) {}
    CQNamedMutex* m_pMutex = nullptr;
    bool m_bAbandoned = false;
};

// A named or unnamed event. Auto-reset: a Set releases exactly one waiter and the event is
// unsignalled again; a Set while nobody waits keeps it signalled until one waiter comes;
// Set on a signalled event changes nothing. Manual-reset: stays signalled, releasing every
// waiter, until Reset. Whether an event is manual-reset is fixed by whoever creates it;
// opening an existing event ignores the flags given.
class CQNamedEvent {
public:
    CQNamedEvent() noexcept;
    virtual ~CQNamedEvent(); // closes the handle
    CQNamedEvent(const CQNamedEvent&) = delete;
    CQNamedEvent& operator=(const CQNamedEvent&) = delete;

    // Opens the named event, creating it if it does not exist. *pbExisted (if given) tells
    // whether it existed. pszName null: a new unnamed event, private to this process.
    // Closes any handle held first. False on failure (bad name, a non-event object of that
    // name, platform failure).
    bool Create(const char* pszName, bool bManualReset, bool bInitialState,
                bool* pbExisted = nullptr) noexcept;
    // Creates the event only as a new object: false (and no handle) when it exists.
    bool CreateNew(const char* pszName, bool bManualReset, bool bInitialState) noexcept;
    // Opens the event only if it exists: false (and nothing created) when it does not.
    bool OpenExisting(const char* pszName, bool bManualReset, bool bInitialState) noexcept;

    // Signals the event. False when no handle is held or on a platform failure.
    bool Set() noexcept;
    // Unsignals the event. False when no handle is held or on a platform failure.
    bool Reset() noexcept;

    // Waits until the event is signalled, at most timeoutMs milliseconds (kInfinite: no
    // limit). True when signalled (an auto-reset event is then unsignalled again); false on
    // time-out, without a handle, or on failure.
    bool Wait(uint32_t timeoutMs = kInfinite) noexcept;

    // Waits until any of the events is signalled (at most 64; none may be closed during the
    // wait). Returns the index of the one that released the wait; when several are
    // signalled, the lowest index wins and the others stay signalled. kWaitTimeout after
    // timeoutMs milliseconds; kWaitFailed when an event has no handle or on failure.
    static int WaitAny(std::initializer_list<CQNamedEvent*> events, uint32_t timeoutMs) noexcept;

    // Like WaitAny over events and then watched, except that watched is only watched: the
    // wait returns events.size() while it is signalled and leaves it signalled, so that
    // whoever holds the named mutex pszMutex never finds it unsignalled on this waiter's
    // account. (Where waiting on an auto-reset event takes it, on Windows, it is taken
    // together with the mutex, at once, and set again before the mutex is released; there the
    // events are looked at every kWatchSliceMs while watched is not signalled.)
    static int WaitAnyWatching(std::initializer_list<CQNamedEvent*> events, CQNamedEvent& watched,
                               const char* pszMutex, uint32_t timeoutMs) noexcept;
    static constexpr uint32_t kWatchSliceMs = 10;

    bool IsOpen() const noexcept { return m_hEvent != nullptr; }
    // Closes the handle, if any; the event ends when its last handle closes.
    void Close() noexcept;

private:
    // WaitAny (pWatched null) and WaitAnyWatching.
    static int WaitFor(std::initializer_list<CQNamedEvent*> events, CQNamedEvent* pWatched,
                       const char* pszMutex, uint32_t timeoutMs) noexcept;

    velomix_ipc::ObjectPtr m_hEvent;
};

// A named shared-memory block: a 4-byte header holding the data size, then the data bytes.
// Data offsets count from the first data byte. Reads and writes are bounded by the data
// size and do not lock: callers guard the block with a named mutex. Another process may damage
// the block (scribble over the header; elsewhere than Windows, where the block is a file, also
// truncate it): reads then fail or return what it wrote, never crash, and Restore puts it right.
class CQShareMemory {
public:
    CQShareMemory() noexcept;
    ~CQShareMemory(); // Close
    CQShareMemory(const CQShareMemory&) = delete;
    CQShareMemory& operator=(const CQShareMemory&) = delete;

    // Maps the named block of dwDataSize data bytes, creating it (all zero) if it does not
    // exist, and writes dwDataSize into its header. Drops any block mapped before. False on
    // failure, also when an existing block is smaller than asked for.
    bool Create(const char* pszName, uint32_t dwDataSize) noexcept;
    // Maps the named block only if it exists, leaving its header untouched. Same failures as
    // Create, and false when the block does not exist.
    bool Open(const char* pszName, uint32_t dwDataSize) noexcept;

    // Copies cb bytes from data offset dwOffset to pDst. Returns cb, or 0 (copying nothing)
    // when not mapped or when the range leaves the data.
    uint32_t Read(void* pDst, uint32_t dwOffset, uint32_t cb) const noexcept;
    // Copies cb bytes from pSrc to data offset dwOffset and flushes them to the mapping.
    // Returns cb, or 0 when not mapped, the range leaves the data or the flush failed.
    uint32_t Write(const void* pSrc, uint32_t dwOffset, uint32_t cb) noexcept;

    // The header value as stored in the block (what the last Create wrote); 0 when unmapped.
    uint32_t StoredDataSize() const noexcept;
    // Writes the data size into the header again if it differs, and (where the block is a
    // file) gives the block back its full size and its file header after a truncation; data
    // bytes lost to a truncation read zero. The caller holds the block's mutex. False when
    // unmapped or on failure.
    bool Restore() noexcept;
    bool IsMapped() const noexcept { return static_cast<bool>(m_hMapping); }
    // Unmaps the block and closes the handle; the block ends when its last handle closes.
    void Close() noexcept;

private:
    bool Map(const char* pszName, uint32_t dwDataSize, bool bCreate) noexcept;

    velomix_ipc::ObjectPtr m_hMapping;
    uint8_t* m_pData = nullptr; // Windows: first data byte, the view plus the 4-byte header
    uint32_t m_dwDataSize = 0;
};

// Bounds the waits of the named-object calls made on this thread while it lives (nested
// bounds: the innermost counts) to at most boundMs each, and tells whether one of them gave up
// for that reason. For a caller that must not be held up, such as a setter publishing on its
// caller's thread; a call that gives up fails as it would on its own time-out. On Windows,
// where those calls do not wait for other processes, it has nothing to bound.
class CQWaitBound {
public:
    explicit CQWaitBound(uint32_t boundMs) noexcept;
    ~CQWaitBound();
    CQWaitBound(const CQWaitBound&) = delete;
    CQWaitBound& operator=(const CQWaitBound&) = delete;
    // True when a wait on this thread gave up at the bound since the object was made.
    bool TimedOut() const noexcept;

private:
    uint32_t m_previousMs;
    bool m_bPreviousTimedOut;
};

// Why named objects cannot be had in this process's namespace, as one line for a person (for
// instance the object folder belongs to another user or is open to others); empty when nothing
// is known to be wrong. Elsewhere than Windows the folder is examined (and created if missing);
// on Windows the answer is always empty. May throw std::bad_alloc.
std::string VelomixNamedObjectsProblem();
