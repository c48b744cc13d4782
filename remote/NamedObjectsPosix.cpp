// Named objects on POSIX systems (Linux).
//
// Every named object is a file in the per-user directory, mapped shared: a small header, then
// the object's state (a robust, recursive, process-shared pthread mutex; an event's flags; a
// memory block's bytes). An event's signalled state is one byte in a FIFO beside it
// (".<name>.fifo"), so waits are poll() on FIFOs and pipes and several can be waited on at once.
//
// Lifetime: each handle holds its own open of the object file with a shared flock(). The
// kernel drops that lock when the handle closes or its process dies, so "nobody holds a
// lock" means "no handle is open": a closing handle that can upgrade to an exclusive lock was
// the last and removes the files; an opener that finds a file nobody locks treats it as gone
// and replaces it. Creating, opening and closing (and setting events) are serialised by an
// exclusive flock() on the directory, which also dies with its holder.
#include "NamedObjects.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An owned file descriptor.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    int Release() noexcept {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1) noexcept {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

int RetryFlock(int fd, int op) noexcept {
    int rc;
    do {
        rc = ::flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Exclusive lock on the object directory for the life of the scope. It locks a private open
// of the directory: flock() does not exclude users of the same open file description, and
// two threads may take it through one handle.
class DirLock {
public:
    DirLock() noexcept = default; // holds nothing
    explicit DirLock(int dirFd) noexcept { Acquire(dirFd); }
    // False when the lock could not be taken.
    bool Acquire(int dirFd) noexcept {
        m_fd.Reset(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (m_fd && RetryFlock(m_fd.Get(), LOCK_EX) != 0) {
            m_fd.Reset();
        }
        return static_cast<bool>(m_fd);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(m_fd); }

private:
    Fd m_fd; // closing it drops the lock
};

// Opens the per-user object directory, creating it if needed, and refuses one that another
// user could reach.
Fd OpenObjectDirectory() noexcept {
    char path[PATH_MAX];
    int n;
    const char* override = std::getenv("VELOMIX_IPC_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const unsigned uid = static_cast<unsigned>(::geteuid());
    struct stat st {};
    if (override != nullptr && override[0] != '\0') {
        n = std::snprintf(path, sizeof path, "%s", override);
    } else if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 &&
               st.st_uid == uid) {
        // Only our own runtime directory: one inherited from another user (sudo) is not.
        n = std::snprintf(path, sizeof path, "%s/velomix", runtime);
    } else if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
        n = std::snprintf(path, sizeof path, "/dev/shm/velomix-%u", uid);
    } else {
        n = std::snprintf(path, sizeof path, "/tmp/velomix-%u", uid);
    }
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) {
        return Fd();
    }
    if (::mkdir(path, 0700) != 0 && errno != EEXIST) {
        return Fd();
    }
    Fd dir(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir || ::fstat(dir.Get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        return Fd();
    }
    return dir;
}

enum class Kind : uint32_t { Mutex = 1, Event = 2, Memory = 3 };
enum class Disposition { CreateOrOpen, CreateNew, OpenExisting };

constexpr uint32_t kMagic = 0x31504956u; // "VIP1"
constexpr uint32_t kFlagManualReset = 1u;

struct FileHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t flags;
    uint32_t payloadSize;
};
constexpr size_t kPayloadOffset = 64; // keeps the payload aligned for a pthread mutex
static_assert(sizeof(FileHeader) <= kPayloadOffset, "header fits before the payload");

std::string FifoName(const std::string& name) {
    return "." + name + ".fifo";
}

} // namespace

namespace velomix_ipc {

// One handle to a named object, or an unnamed event.
struct Object {
    Kind kind = Kind::Event;
    std::string name;     // empty for an unnamed event
    std::string fifoName; // events: the FIFO beside the object file
    Fd dir;               // the directory holding the object
    Fd file;              // the object file; this open holds a shared flock while the handle lives
    Fd wait;              // events: the FIFO (named) or the pipe's read end (unnamed)
    Fd pipeWrite;         // unnamed events: the pipe's write end
    void* map = MAP_FAILED;
    size_t mapLength = 0;
    bool manualReset = false;
    std::mutex setLock; // unnamed events: makes "signal if not signalled" atomic
    // Mutexes: one handle per process and name, shared by every CQNamedMutex (see
    // AcquireMutexObject).
    std::string cacheKey;
    int references = 0;

    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ~Object() {
        if (file && dir) {
            DirLock lock(dir.Get());
            // Only the last handle gets the exclusive lock; it ends the object.
            if (lock && RetryFlock(file.Get(), LOCK_EX | LOCK_NB) == 0) {
                ::unlinkat(dir.Get(), name.c_str(), 0);
                if (!fifoName.empty()) {
                    ::unlinkat(dir.Get(), fifoName.c_str(), 0);
                }
            }
        }
        if (map != MAP_FAILED) {
            ::munmap(map, mapLength);
        }
    }

    uint8_t* Payload() const noexcept { return static_cast<uint8_t*>(map) + kPayloadOffset; }
    FileHeader* Header() const noexcept { return static_cast<FileHeader*>(map); }
    int WriteFd() const noexcept { return name.empty() ? pipeWrite.Get() : wait.Get(); }
};

} // namespace velomix_ipc

using velomix_ipc::Object;
using velomix_ipc::ObjectPtr;

namespace {

bool MapFile(Object& obj, size_t length) noexcept {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, obj.file.Get(), 0);
    if (p == MAP_FAILED) {
        return false;
    }
    obj.map = p;
    obj.mapLength = length;
    return true;
}

void RemoveObjectFiles(int dirFd, const std::string& name) {
    ::unlinkat(dirFd, name.c_str(), 0);
    ::unlinkat(dirFd, FifoName(name).c_str(), 0);
}

// Maps an existing, live object file and checks that it is what the caller expects.
bool AttachExisting(Object& obj, size_t payloadSize) {
    struct stat st {};
    if (::fstat(obj.file.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) < kPayloadOffset + payloadSize) {
        return false;
    }
    if (!MapFile(obj, static_cast<size_t>(st.st_size))) {
        return false;
    }
    const FileHeader& header = *obj.Header();
    if (header.magic != kMagic || header.kind != static_cast<uint32_t>(obj.kind) ||
        header.payloadSize < payloadSize ||
        kPayloadOffset + header.payloadSize > static_cast<size_t>(st.st_size)) {
        return false;
    }
    obj.manualReset = (header.flags & kFlagManualReset) != 0;
    if (obj.kind == Kind::Event) {
        obj.wait.Reset(::openat(obj.dir.Get(), obj.fifoName.c_str(),
                                O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
        if (!obj.wait || ::fstat(obj.wait.Get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            return false;
        }
    }
    return true;
}

bool InitMutex(void* p) noexcept {
    pthread_mutexattr_t attr;
    if (::pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    const bool ok = ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                    ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                    ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    ::pthread_mutex_init(static_cast<pthread_mutex_t*>(p), &attr) == 0;
    ::pthread_mutexattr_destroy(&attr);
    return ok;
}

// Makes a new object file (the caller holds the directory lock and knows the name is free).
bool CreateFresh(Object& obj, size_t payloadSize, bool bInitialState) {
    const int dirFd = obj.dir.Get();
    obj.file.Reset(::openat(dirFd, obj.name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!obj.file) {
        return false;
    }
    // Once the file exists, a failure below must remove it again: the handle's destructor
    // does, since this shared lock will be the only one.
    const size_t length = kPayloadOffset + payloadSize;
    if (::fchmod(obj.file.Get(), 0600) != 0 || RetryFlock(obj.file.Get(), LOCK_SH | LOCK_NB) != 0 ||
        ::ftruncate(obj.file.Get(), static_cast<off_t>(length)) != 0 || !MapFile(obj, length)) {
        return false;
    }
    FileHeader& header = *obj.Header();
    header.kind = static_cast<uint32_t>(obj.kind);
    header.flags = obj.manualReset ? kFlagManualReset : 0u;
    header.payloadSize = static_cast<uint32_t>(payloadSize);
    if (obj.kind == Kind::Mutex && !InitMutex(obj.Payload())) {
        return false;
    }
    if (obj.kind == Kind::Event) {
        const std::string& fifo = obj.fifoName;
        ::unlinkat(dirFd, fifo.c_str(), 0);
        if (::mkfifoat(dirFd, fifo.c_str(), 0600) != 0) {
            return false;
        }
        obj.wait.Reset(::openat(dirFd, fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
        if (!obj.wait || ::fchmod(obj.wait.Get(), 0600) != 0) {
            return false;
        }
        if (bInitialState && ::write(obj.wait.Get(), "", 1) != 1) {
            return false;
        }
    }
    header.magic = kMagic;
    return true;
}

// Opens or creates a named object. *pbExisted tells whether a live object was found (also
// when that makes a CreateNew fail). Throws only std::bad_alloc.
std::unique_ptr<Object> OpenNamed(Kind kind, const char* pszName, Disposition disposition,
                                  size_t payloadSize, bool bManualReset, bool bInitialState,
                                  bool* pbExisted) {
    if (pbExisted != nullptr) {
        *pbExisted = false;
    }
    if (!velomix_ipc::IsValidName(pszName)) {
        return nullptr;
    }
    auto obj = std::make_unique<Object>();
    obj->kind = kind;
    obj->name = pszName;
    if (kind == Kind::Event) {
        obj->fifoName = FifoName(obj->name);
    }
    obj->manualReset = bManualReset;
    obj->dir = OpenObjectDirectory();
    if (!obj->dir) {
        return nullptr;
    }
    // Declared after obj: on a failed return the lock is dropped before obj's destructor
    // takes it again.
    DirLock lock(obj->dir.Get());
    if (!lock) {
        return nullptr;
    }
    const int dirFd = obj->dir.Get();
    Fd found(::openat(dirFd, pszName, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (found) {
        if (RetryFlock(found.Get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: its last handle went with an ended process.
            RemoveObjectFiles(dirFd, obj->name);
            found.Reset();
        } else if (errno != EWOULDBLOCK) {
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }

    if (found) {
        if (pbExisted != nullptr) {
            *pbExisted = true;
        }
        if (disposition == Disposition::CreateNew ||
            RetryFlock(found.Get(), LOCK_SH | LOCK_NB) != 0) {
            return nullptr;
        }
        obj->file = std::move(found);
        if (!AttachExisting(*obj, payloadSize)) {
            return nullptr;
        }
        return obj;
    }
    if (disposition == Disposition::OpenExisting) {
        return nullptr;
    }
    if (!CreateFresh(*obj, payloadSize, bInitialState)) {
        return nullptr;
    }
    return obj;
}

std::unique_ptr<Object> CreateUnnamedEvent(bool bManualReset, bool bInitialState) {
    auto obj = std::make_unique<Object>();
    obj->manualReset = bManualReset;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return nullptr;
    }
    obj->wait.Reset(fds[0]);
    obj->pipeWrite.Reset(fds[1]);
    if (bInitialState && ::write(obj->pipeWrite.Get(), "", 1) != 1) {
        return nullptr;
    }
    return obj;
}

// Mutex handles: one object per process and name, shared by every CQNamedMutex. A robust
// mutex stays on its owning thread's robust list at the address it was locked through, so
// that mapping must outlive the lock even when locks through different CQNamedMutex objects
// are released out of order.
std::mutex& MutexCacheLock() {
    static std::mutex lock;
    return lock;
}
std::map<std::string, std::unique_ptr<Object>>& MutexCache() {
    static std::map<std::string, std::unique_ptr<Object>> cache;
    return cache;
}

ObjectPtr AcquireMutexObject(const char* pszName) {
    if (!velomix_ipc::IsValidName(pszName)) {
        return nullptr;
    }
    Fd dir = OpenObjectDirectory();
    struct stat st {};
    if (!dir || ::fstat(dir.Get(), &st) != 0) {
        return nullptr;
    }
    std::string key = std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + '/';
    key += pszName;
    std::lock_guard<std::mutex> guard(MutexCacheLock());
    auto& cache = MutexCache();
    auto it = cache.find(key);
    if (it == cache.end()) {
        auto obj = OpenNamed(Kind::Mutex, pszName, Disposition::CreateOrOpen,
                             sizeof(pthread_mutex_t), false, false, nullptr);
        if (!obj) {
            return nullptr;
        }
        obj->cacheKey = key;
        it = cache.emplace(key, std::move(obj)).first;
    }
    ++it->second->references;
    return ObjectPtr(it->second.get());
}

void ReleaseMutexObject(Object* pObject) noexcept {
    std::lock_guard<std::mutex> guard(MutexCacheLock());
    if (--pObject->references == 0) {
        // Closed under the cache lock, so that a Lock in this process cannot find the handle
        // while it is deciding whether it was the last.
        MutexCache().erase(pObject->cacheKey);
    }
}

pthread_mutex_t* MutexOf(const Object& obj) noexcept {
    return reinterpret_cast<pthread_mutex_t*>(obj.Payload());
}

// Makes "write the byte only if the FIFO is empty" atomic among setters; a waiter consuming
// the byte in between only makes the event unsignalled, which a Set may then find set.
class SetterLock {
public:
    explicit SetterLock(Object& obj) noexcept {
        if (obj.name.empty()) {
            m_inProcess = std::unique_lock<std::mutex>(obj.setLock);
            m_bLocked = true;
        } else {
            m_bLocked = m_dirLock.Acquire(obj.dir.Get());
        }
    }
    explicit operator bool() const noexcept { return m_bLocked; }

private:
    std::unique_lock<std::mutex> m_inProcess;
    DirLock m_dirLock;
    bool m_bLocked = false;
};

int PendingBytes(const Object& obj) noexcept {
    int n = 0;
    if (::ioctl(obj.wait.Get(), FIONREAD, &n) != 0) {
        return -1;
    }
    return n;
}

// Takes the event if it is signalled: consumes the byte of an auto-reset event.
bool TryAcquire(const Object& obj) noexcept {
    if (obj.manualReset) {
        return PendingBytes(obj) > 0;
    }
    char byte;
    ssize_t n;
    do {
        n = ::read(obj.wait.Get(), &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

} // namespace

void velomix_ipc::ObjectCloser::operator()(Object* pObject) const noexcept {
    if (pObject == nullptr) {
        return;
    }
    if (!pObject->cacheKey.empty()) {
        ReleaseMutexObject(pObject);
        return;
    }
    std::unique_ptr<Object> owned(pObject);
}

// ---------------------------------------------------------------------------------------------
// CQNamedMutex

bool CQNamedMutex::Lock(uint32_t timeoutMs, bool* pbAbandoned) noexcept {
    if (pbAbandoned != nullptr) {
        *pbAbandoned = false;
    }
    if (m_szName[0] == '\0' || m_hMutex) {
        return false;
    }
    ObjectPtr handle;
    try {
        handle = AcquireMutexObject(m_szName.data());
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!handle) {
        return false;
    }
    pthread_mutex_t* mutex = MutexOf(*handle);
    int rc;
    if (timeoutMs == kInfinite) {
        rc = ::pthread_mutex_lock(mutex);
    } else if (timeoutMs == 0) {
        rc = ::pthread_mutex_trylock(mutex);
    } else {
        timespec deadline{};
        ::clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = ::pthread_mutex_timedlock(mutex, &deadline);
    }
    if (rc == EOWNERDEAD) {
        // The owner ended while holding it: ours now, as Windows hands over an abandoned mutex.
        rc = ::pthread_mutex_consistent(mutex);
        if (rc != 0) {
            ::pthread_mutex_unlock(mutex);
        } else if (pbAbandoned != nullptr) {
            *pbAbandoned = true;
        }
    }
    if (rc != 0) {
        return false;
    }
    m_hMutex = std::move(handle);
    return true;
}

void CQNamedMutex::Unlock() noexcept {
    if (!m_hMutex) {
        return;
    }
    ::pthread_mutex_unlock(MutexOf(*m_hMutex));
    m_hMutex.reset();
}

// ---------------------------------------------------------------------------------------------
// CQNamedEvent

CQNamedEvent::CQNamedEvent() noexcept = default;

CQNamedEvent::~CQNamedEvent() = default;

bool CQNamedEvent::Create(const char* pszName, bool bManualReset, bool bInitialState,
                          bool* pbExisted) noexcept {
    Close();
    try {
        std::unique_ptr<Object> obj =
            pszName == nullptr ? CreateUnnamedEvent(bManualReset, bInitialState)
                               : OpenNamed(Kind::Event, pszName, Disposition::CreateOrOpen, 0,
                                           bManualReset, bInitialState, pbExisted);
        if (pszName == nullptr && pbExisted != nullptr) {
            *pbExisted = false;
        }
        m_hEvent = ObjectPtr(obj.release());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return IsOpen();
}

namespace {

// A named event only as new, or only as existing; null when that is not how it stands.
ObjectPtr OpenNamedEvent(const char* pszName, Disposition disposition, bool bManualReset,
                         bool bInitialState) noexcept {
    if (pszName == nullptr) {
        return nullptr;
    }
    try {
        return ObjectPtr(OpenNamed(Kind::Event, pszName, disposition, 0, bManualReset,
                                   bInitialState, nullptr)
                             .release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace

bool CQNamedEvent::CreateNew(const char* pszName, bool bManualReset, bool bInitialState) noexcept {
    Close();
    m_hEvent = OpenNamedEvent(pszName, Disposition::CreateNew, bManualReset, bInitialState);
    return IsOpen();
}

bool CQNamedEvent::OpenExisting(const char* pszName, bool bManualReset,
                                bool bInitialState) noexcept {
    Close();
    m_hEvent = OpenNamedEvent(pszName, Disposition::OpenExisting, bManualReset, bInitialState);
    return IsOpen();
}

bool CQNamedEvent::Set() noexcept {
    if (!m_hEvent) {
        return false;
    }
    Object& obj = *m_hEvent;
    SetterLock lock(obj);
    if (!lock) {
        return false;
    }
    const int pending = PendingBytes(obj);
    if (pending < 0) {
        return false;
    }
    return pending > 0 || ::write(obj.WriteFd(), "", 1) == 1;
}

bool CQNamedEvent::Reset() noexcept {
    if (!m_hEvent) {
        return false;
    }
    Object& obj = *m_hEvent;
    SetterLock lock(obj);
    if (!lock) {
        return false;
    }
    char buffer[16];
    for (;;) {
        const ssize_t n = ::read(obj.wait.Get(), buffer, sizeof buffer);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            continue;
        }
        return n == 0 || errno == EAGAIN;
    }
}

bool CQNamedEvent::Wait(uint32_t timeoutMs) noexcept {
    return WaitAny({this}, timeoutMs) == 0;
}

int CQNamedEvent::WaitAny(std::initializer_list<CQNamedEvent*> events,
                          uint32_t timeoutMs) noexcept {
    constexpr size_t kMaxEvents = 64;
    if (events.size() == 0 || events.size() > kMaxEvents) {
        return kWaitFailed;
    }
    pollfd fds[kMaxEvents];
    size_t count = 0;
    for (CQNamedEvent* pEvent : events) {
        if (pEvent == nullptr || !pEvent->m_hEvent) {
            return kWaitFailed;
        }
        fds[count].fd = pEvent->m_hEvent->wait.Get();
        fds[count].events = POLLIN;
        ++count;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Tried in order, whatever poll reported, so the lowest signalled index wins.
        int index = 0;
        for (CQNamedEvent* pEvent : events) {
            if (TryAcquire(*pEvent->m_hEvent)) {
                return index;
            }
            ++index;
        }
        int waitMs = -1;
        if (timeoutMs != kInfinite) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return kWaitTimeout;
            }
            waitMs = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        const int rc = ::poll(fds, static_cast<nfds_t>(count), waitMs);
        if (rc < 0 && errno != EINTR) {
            return kWaitFailed;
        }
        for (size_t i = 0; rc > 0 && i < count; ++i) {
            if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return kWaitFailed; // would wake poll for ever
            }
        }
        // Readable, but another waiter may have taken the byte first: try again.
    }
}

// ---------------------------------------------------------------------------------------------
// CQShareMemory

bool CQShareMemory::Map(const char* pszName, uint32_t dwDataSize, bool bCreate) noexcept {
    Close();
    if (pszName == nullptr || dwDataSize > UINT32_MAX - 4) {
        return false;
    }
    try {
        std::unique_ptr<Object> obj = OpenNamed(
            Kind::Memory, pszName, bCreate ? Disposition::CreateOrOpen : Disposition::OpenExisting,
            size_t{dwDataSize} + 4, false, false, nullptr);
        if (!obj) {
            return false;
        }
        uint8_t* view = obj->Payload();
        if (bCreate) {
            std::memcpy(view, &dwDataSize, sizeof dwDataSize);
        }
        m_hMapping = ObjectPtr(obj.release());
        m_pData = view + 4;
        m_dwDataSize = dwDataSize;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

uint32_t CQShareMemory::Write(const void* pSrc, uint32_t dwOffset, uint32_t cb) noexcept {
    if (m_pData == nullptr || pSrc == nullptr || dwOffset > m_dwDataSize ||
        cb > m_dwDataSize - dwOffset) {
        return 0;
    }
    // A shared mapping is coherent for every process that maps the file: nothing to flush.
    std::memcpy(m_pData + dwOffset, pSrc, cb);
    return cb;
}

void CQShareMemory::Close() noexcept {
    m_pData = nullptr;
    m_dwDataSize = 0;
    m_hMapping.reset();
}
