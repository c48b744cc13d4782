// Named objects on POSIX systems (Linux).
//
// Every named object is a file in the per-user directory: a small header, then the object's
// state (a robust, recursive, process-shared pthread mutex; an event's flags; a memory block's
// bytes). Only a mutex is mapped. A memory block is read and written with pread/pwrite, so a
// process of the same user that truncates its file makes reads come up short instead of
// raising SIGBUS in everyone who maps it. (A mutex cannot work that way. Its file is checked
// on every open, but one truncated by a process of the same user while a lock is held or
// awaited through the mapping still faults: that process could as well kill ours.) An event's
// signalled state is one byte in a FIFO beside it (".<name>.fifo"), so waits are poll() on FIFOs
// and pipes and several can be waited on at once.
//
// Lifetime: each handle holds its own open of the object file with a shared flock(). The
// kernel drops that lock when the handle closes or its process dies, so "nobody holds a
// lock" means "no handle is open": a closing handle that can upgrade to an exclusive lock was
// the last and removes the files; an opener that finds a file nobody locks treats it as gone
// and replaces it. Creating, opening and closing (and setting events) are serialised by an
// exclusive flock() on the directory, which also dies with its holder. Nobody waits for that
// lock without a bound: a holder stopped in the middle of an operation (a debugger, SIGSTOP)
// must not stall the others for good.
#include "NamedObjects.h"

#include <algorithm>
#include <atomic>
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
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DiagnosticLog.h"

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

// Bounds of the waits for the directory lock, which every holder keeps for microseconds.
constexpr uint32_t kDirLockMs = 1000; // create, open, set, reset
constexpr uint32_t kCloseLockMs = 20; // close: a last handle that cannot get it leaves the
                                      // files behind, and the next opener replaces them

// The bound of CQWaitBound on this thread, and whether a wait gave up at it. Initial-exec: the
// module is loaded with dlopen, and dynamically allocated TLS of an unloaded module trips
// LeakSanitizer at the host's exit; these few bytes fit the static reserve kept for dlopen.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t t_waitBoundMs = kInfinite;
__attribute__((tls_model("initial-exec"))) thread_local bool t_bWaitBoundHit = false;

// What one try of RetryWithPauses found.
enum class Attempt { Done, Failed, Busy };

// Calls tryOnce until it answers Done or Failed, or until timeoutMs has passed (kInfinite: no
// limit), pausing between tries from 50 us up to maxPauseNs: for locks that have no timed form
// (or none that works here). Busy when it gave up at the time-out.
template <typename Try>
Attempt RetryWithPauses(uint32_t timeoutMs, long maxPauseNs, Try tryOnce) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    long pauseNs = 50000;
    for (;;) {
        const Attempt attempt = tryOnce();
        if (attempt != Attempt::Busy) {
            return attempt;
        }
        if (timeoutMs != kInfinite && Clock::now() >= deadline) {
            return Attempt::Busy;
        }
        const timespec pause{0, pauseNs};
        ::nanosleep(&pause, nullptr);
        pauseNs = std::min(pauseNs * 2, maxPauseNs);
    }
}

// flock(LOCK_EX) waiting at most timeoutMs (kInfinite: no limit), in pauses of up to 2 ms.
bool TimedExclusiveFlock(int fd, uint32_t timeoutMs) noexcept {
    const bool bBounded = t_waitBoundMs < timeoutMs;
    if (bBounded) {
        timeoutMs = t_waitBoundMs;
    }
    const Attempt attempt = RetryWithPauses(timeoutMs, 2000000L, [fd] {
        if (RetryFlock(fd, LOCK_EX | LOCK_NB) == 0) {
            return Attempt::Done;
        }
        return errno == EWOULDBLOCK ? Attempt::Busy : Attempt::Failed;
    });
    if (attempt == Attempt::Busy) {
        t_bWaitBoundHit = t_bWaitBoundHit || bBounded;
    }
    return attempt == Attempt::Done;
}

// Exclusive lock on the object directory for the life of the scope. It locks a private open
// of the directory: flock() does not exclude users of the same open file description, and
// two threads may take it through one handle.
class DirLock {
public:
    DirLock() noexcept = default; // holds nothing
    DirLock(int dirFd, uint32_t timeoutMs) noexcept { Acquire(dirFd, timeoutMs); }
    // False when the lock could not be taken within timeoutMs.
    bool Acquire(int dirFd, uint32_t timeoutMs) noexcept {
        m_fd.Reset(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (m_fd && !TimedExclusiveFlock(m_fd.Get(), timeoutMs)) {
            m_fd.Reset();
        }
        return static_cast<bool>(m_fd);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(m_fd); }

private:
    Fd m_fd; // closing it drops the lock
};

// The folders the objects may live in, in the order tried (see NamedObjects.h): only the one
// VELOMIX_IPC_DIR names when it is set (*pbExplicit), else the runtime folder's, /dev/shm's and
// /tmp's. The order is fixed, so that every process of the user settles on the same one. An
// empty entry stands for a path that does not fit.
std::vector<std::string> ObjectDirectoryCandidates(bool* pbExplicit) {
    const char* override = std::getenv("VELOMIX_IPC_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const unsigned uid = static_cast<unsigned>(::geteuid());
    auto fit = [](int n, const char* path) {
        return n > 0 && n < PATH_MAX ? std::string(path, static_cast<size_t>(n)) : std::string();
    };
    char path[PATH_MAX];
    std::vector<std::string> candidates;
    *pbExplicit = override != nullptr && override[0] != '\0';
    if (*pbExplicit) {
        candidates.push_back(fit(std::snprintf(path, sizeof path, "%s", override), path));
        return candidates;
    }
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && st.st_uid == uid) {
        // Only our own runtime directory: one inherited from another user (sudo) is not.
        candidates.push_back(fit(std::snprintf(path, sizeof path, "%s/velomix", runtime), path));
    }
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
        candidates.push_back(
            fit(std::snprintf(path, sizeof path, "/dev/shm/velomix-%u", uid), path));
    }
    candidates.push_back(fit(std::snprintf(path, sizeof path, "/tmp/velomix-%u", uid), path));
    return candidates;
}

// Opens the object directory at path, creating it if needed, and refuses one that another
// user could reach: it must be a real directory (not a symbolic link) named from the root,
// owned by the effective user, with no access for group or others. A folder in a shared place
// such as /dev/shm can be made first by someone else, so this is checked on every open. On
// refusal *pProblem says why, for a person.
Fd OpenDirectoryAt(const std::string& path, std::string* pProblem) {
    auto refuse = [&](const std::string& why) {
        *pProblem = "the folder of the control channel's objects, " + path + ", " + why;
        return Fd();
    };
    if (path.empty()) {
        *pProblem = "the path of the control channel's folder is too long";
        return Fd();
    }
    if (path[0] != '/') {
        // Processes started in different folders would each look somewhere else.
        return refuse("is a relative path; it must be named from the root (/)");
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return refuse(std::string("cannot be created: ") + std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return refuse(std::string("cannot be examined: ") + std::strerror(errno));
    }
    Fd dir;
    // Examined before it is opened (another user's folder may not open at all) and again
    // through the open descriptor, which is what counts.
    for (int pass = 0; pass < 2; ++pass) {
        if (S_ISLNK(st.st_mode)) {
            return refuse("is a symbolic link; it must be a folder of this user's own");
        }
        if (!S_ISDIR(st.st_mode)) {
            return refuse("is not a folder");
        }
        if (st.st_uid != ::geteuid()) {
            return refuse("belongs to user id " + std::to_string(st.st_uid) +
                          ", not to this user (" + std::to_string(::geteuid()) + ")");
        }
        if ((st.st_mode & 077) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            return refuse(std::string("is open to other users (mode ") + mode +
                          "); it must be 0700");
        }
        if (pass == 1) {
            break;
        }
        dir.Reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir || ::fstat(dir.Get(), &st) != 0) {
            return refuse(std::string("cannot be opened as a folder: ") + std::strerror(errno));
        }
    }
    return dir;
}

// Opens the per-user object directory: the first sound one of the candidates. A folder named
// by VELOMIX_IPC_DIR is the only one; otherwise a refused folder (one someone else made first
// in /dev/shm, say) gives way to the next, which is said once per process, since processes
// of this user that looked elsewhere before would miss those that look here. On refusal of
// all, *pProblem (if given) says why.
Fd OpenObjectDirectory(std::string* pProblem = nullptr) {
    bool bExplicit = false;
    const std::vector<std::string> candidates = ObjectDirectoryCandidates(&bExplicit);
    std::string problems;
    for (const std::string& path : candidates) {
        std::string problem;
        Fd dir = OpenDirectoryAt(path, &problem);
        if (dir) {
            static std::atomic<bool> s_bToldFallback{false};
            if (!problems.empty() && !s_bToldFallback.exchange(true)) {
                LogNotice(LogLevel::Warning, "%s; the control channel uses %s instead",
                          problems.c_str(), path.c_str());
            }
            return dir;
        }
        problems += (problems.empty() ? "" : "; ") + problem;
    }
    if (pProblem != nullptr) {
        *pProblem = problems;
    }
    return Fd();
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
// Largest memory block a header is believed to claim when it is restored: the file is not
// grown to what garbage says.
constexpr uint32_t kMaxPayload = 1u << 20;
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
    void* map = MAP_FAILED; // mutexes only: the file, mapped shared
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
            DirLock lock(dir.Get(), kCloseLockMs);
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

bool ReadHeader(const Object& obj, FileHeader& header) noexcept {
    return ::pread(obj.file.Get(), &header, sizeof header, 0) ==
           static_cast<ssize_t>(sizeof header);
}

bool WriteHeader(const Object& obj, const FileHeader& header) noexcept {
    return ::pwrite(obj.file.Get(), &header, sizeof header, 0) ==
           static_cast<ssize_t>(sizeof header);
}

// Opens an existing, live object file and checks that it is what the caller expects; maps a
// mutex's file.
bool AttachExisting(Object& obj, size_t payloadSize) {
    struct stat st {};
    FileHeader header{};
    if (::fstat(obj.file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (obj.kind == Kind::Memory) {
        // A block cut short or scribbled over by a process of this user is still the block:
        // its reads come up short (and are refused) until a Restore under its mutex. Only an
        // intact block too small, or another kind of object, is not.
        const bool bIntact = ReadHeader(obj, header) && header.magic == kMagic;
        return !bIntact || (header.kind == static_cast<uint32_t>(Kind::Memory) &&
                            header.payloadSize >= payloadSize);
    }
    if (static_cast<size_t>(st.st_size) < kPayloadOffset + payloadSize ||
        !ReadHeader(obj, header)) {
        return false;
    }
    if (header.magic != kMagic || header.kind != static_cast<uint32_t>(obj.kind) ||
        header.payloadSize < payloadSize ||
        kPayloadOffset + header.payloadSize > static_cast<size_t>(st.st_size)) {
        return false;
    }
    if (obj.kind == Kind::Mutex && !MapFile(obj, kPayloadOffset + payloadSize)) {
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

// True when the file holds a valid header of another kind of object.
bool IsIntactOtherKind(const Object& obj, Kind kind) noexcept {
    FileHeader header{};
    return ReadHeader(obj, header) && header.magic == kMagic &&
           header.kind != static_cast<uint32_t>(kind);
}

// Gives a memory block's file its full length and a valid header again, after a truncation
// or scribbling by another process (the data lost reads zero). A valid header of another size
// is kept: that block is refused by the size check, not remade. False when that failed.
bool RestoreMemoryFile(const Object& obj, size_t payloadSize) noexcept {
    struct stat st {};
    FileHeader header{};
    if (::fstat(obj.file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    // The file may be shorter than a header: a short read then counts as garbage.
    const bool bValid = ReadHeader(obj, header) && header.magic == kMagic &&
                        header.kind == static_cast<uint32_t>(Kind::Memory) &&
                        header.payloadSize <= kMaxPayload;
    if (!bValid) {
        header = FileHeader{kMagic, static_cast<uint32_t>(Kind::Memory), 0u,
                            static_cast<uint32_t>(payloadSize)};
    }
    const size_t length = kPayloadOffset + header.payloadSize;
    if (static_cast<size_t>(st.st_size) < length &&
        ::ftruncate(obj.file.Get(), static_cast<off_t>(length)) != 0) {
        return false;
    }
    return bValid || WriteHeader(obj, header);
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
        ::ftruncate(obj.file.Get(), static_cast<off_t>(length)) != 0) {
        return false;
    }
    FileHeader header{};
    header.kind = static_cast<uint32_t>(obj.kind);
    header.flags = obj.manualReset ? kFlagManualReset : 0u;
    header.payloadSize = static_cast<uint32_t>(payloadSize);
    if (obj.kind == Kind::Mutex && (!MapFile(obj, length) || !InitMutex(obj.Payload()))) {
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
    // Written last: a half-made object is never taken for a live one.
    header.magic = kMagic;
    return WriteHeader(obj, header);
}

// Opens or creates a named object, waiting at most timeoutMs for the directory lock. *pbExisted
// tells whether a live object was found (also when that makes a CreateNew fail). Throws only
// std::bad_alloc.
std::unique_ptr<Object> OpenNamed(Kind kind, const char* pszName, Disposition disposition,
                                  size_t payloadSize, bool bManualReset, bool bInitialState,
                                  bool* pbExisted, uint32_t timeoutMs = kDirLockMs) {
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
    DirLock lock(obj->dir.Get(), timeoutMs);
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
        // A block that a process of this user damaged is put right by whoever maps it anew
        // (an intact object of another kind is left alone and refused below).
        if (kind == Kind::Memory && disposition != Disposition::OpenExisting &&
            !IsIntactOtherKind(*obj, Kind::Memory)) {
            RestoreMemoryFile(*obj, payloadSize);
        }
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

// A T made in static storage and never destroyed.
template <typename T> class Immortal {
public:
    Immortal() { new (m_storage) T(); }
    T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// Mutex handles: one object per process and name, shared by every CQNamedMutex. A robust
// mutex stays on its owning thread's robust list at the address it was locked through, so
// that mapping must outlive the lock even when locks through different CQNamedMutex objects
// are released out of order. The cache and its lock are never destroyed: a handle kept in a
// static (a control program's, or a filter's server still alive at exit) is closed by its
// destructor, which may run after those of statics made later, as these are.
std::mutex& MutexCacheLock() {
    static Immortal<std::mutex> lock;
    return lock.Get();
}

// Takes the cache lock within timeoutMs, so that a Lock with a short time-out is not held up
// for long by another thread's open. Tries and pauses (up to 1 ms) rather than use a timed
// mutex: the lock is held for an open at most and is rarely contended.
bool LockCacheWithin(std::unique_lock<std::mutex>& guard, uint32_t timeoutMs) {
    if (timeoutMs == kInfinite) {
        guard.lock();
        return true;
    }
    return RetryWithPauses(timeoutMs, 1000000L, [&guard] {
               return guard.try_lock() ? Attempt::Done : Attempt::Busy;
           }) == Attempt::Done;
}
std::map<std::string, std::unique_ptr<Object>>& MutexCache() {
    static Immortal<std::map<std::string, std::unique_ptr<Object>>> cache;
    return cache.Get();
}

// The handle for the name, opening it if this process has none; waits at most timeoutMs for
// the locks involved.
ObjectPtr AcquireMutexObject(const char* pszName, uint32_t timeoutMs) {
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
    std::unique_lock<std::mutex> guard(MutexCacheLock(), std::defer_lock);
    if (!LockCacheWithin(guard, timeoutMs)) {
        return nullptr;
    }
    auto& cache = MutexCache();
    auto it = cache.find(key);
    if (it == cache.end()) {
        auto obj = OpenNamed(Kind::Mutex, pszName, Disposition::CreateOrOpen,
                             sizeof(pthread_mutex_t), false, false, nullptr, timeoutMs);
        if (!obj) {
            return nullptr;
        }
        obj->cacheKey = key;
        it = cache.emplace(key, std::move(obj)).first;
    }
    ++it->second->references;
    return ObjectPtr(it->second.get());
}

// Another reference to a handle this process holds, taking the cache lock within timeoutMs.
ObjectPtr ShareMutexObject(Object& object, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(MutexCacheLock(), std::defer_lock);
    if (!LockCacheWithin(guard, timeoutMs)) {
        return nullptr;
    }
    ++object.references;
    return ObjectPtr(&object);
}

void ReleaseMutexObject(Object* pObject) noexcept {
    // Held by others only for bounded opens and closes.
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
            m_bLocked = m_dirLock.Acquire(obj.dir.Get(), kDirLockMs);
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
// CQWaitBound

CQWaitBound::CQWaitBound(uint32_t boundMs) noexcept
    : m_previousMs(t_waitBoundMs), m_bPreviousTimedOut(t_bWaitBoundHit) {
    t_waitBoundMs = boundMs;
    t_bWaitBoundHit = false;
}

CQWaitBound::~CQWaitBound() {
    t_waitBoundMs = m_previousMs;
    t_bWaitBoundHit = m_bPreviousTimedOut || t_bWaitBoundHit;
}

bool CQWaitBound::TimedOut() const noexcept {
    return t_bWaitBoundHit;
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
        // A kept handle is the object: no lookup of the folder and the name.
        handle = m_hKept ? ShareMutexObject(*m_hKept, timeoutMs)
                         : AcquireMutexObject(m_szName.data(), timeoutMs);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!handle) {
        return false;
    }
    pthread_mutex_t* mutex = MutexOf(*handle);
    const bool bBounded = t_waitBoundMs < timeoutMs;
    if (bBounded) {
        timeoutMs = t_waitBoundMs;
    }
    int rc;
    if (timeoutMs == kInfinite) {
        rc = ::pthread_mutex_lock(mutex);
    } else if (timeoutMs == 0) {
        rc = ::pthread_mutex_trylock(mutex);
    } else {
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer does not count a timed lock that returns EOWNERDEAD as taken (a try
        // lock it does) and would then report our unlock: it gets try locks and pauses.
        RetryWithPauses(timeoutMs, 1000000L, [mutex, &rc] {
            rc = ::pthread_mutex_trylock(mutex);
            return rc == EBUSY ? Attempt::Busy : Attempt::Done;
        });
        if (rc == EBUSY) {
            rc = ETIMEDOUT;
        }
#else
        timespec deadline{};
        ::clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = ::pthread_mutex_timedlock(mutex, &deadline);
#endif
    }
    if ((rc == ETIMEDOUT || rc == EBUSY) && bBounded) {
        t_bWaitBoundHit = true;
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

bool CQNamedMutex::Open(uint32_t timeoutMs) noexcept {
    if (m_hKept) {
        return true;
    }
    if (m_szName[0] == '\0') {
        return false;
    }
    try {
        m_hKept = AcquireMutexObject(m_szName.data(), timeoutMs);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return IsOpen();
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
        return ObjectPtr(
            OpenNamed(Kind::Event, pszName, disposition, 0, bManualReset, bInitialState, nullptr)
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

// The watched event is only looked at: a byte in its FIFO stays there.
int CQNamedEvent::WaitFor(std::initializer_list<CQNamedEvent*> events, CQNamedEvent* pWatched,
                          const char* /*pszMutex*/, uint32_t timeoutMs) noexcept {
    constexpr size_t kMaxEvents = 64;
    const size_t total = events.size() + (pWatched != nullptr ? 1 : 0);
    if (total == 0 || total > kMaxEvents) {
        return kWaitFailed;
    }
    pollfd fds[kMaxEvents];
    const Object* objects[kMaxEvents];
    size_t count = 0;
    for (CQNamedEvent* pEvent : events) {
        if (pEvent == nullptr || !pEvent->m_hEvent) {
            return kWaitFailed;
        }
        objects[count++] = pEvent->m_hEvent.get();
    }
    if (pWatched != nullptr) {
        if (!pWatched->m_hEvent) {
            return kWaitFailed;
        }
        objects[count++] = pWatched->m_hEvent.get();
    }
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = objects[i]->wait.Get();
        fds[i].events = POLLIN;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Tried in order, whatever poll reported, so the lowest signalled index wins.
        for (size_t i = 0; i < events.size(); ++i) {
            if (TryAcquire(*objects[i])) {
                return static_cast<int>(i);
            }
        }
        if (pWatched != nullptr) {
            const int pending = PendingBytes(*objects[count - 1]);
            if (pending < 0) {
                return kWaitFailed;
            }
            if (pending > 0) {
                return static_cast<int>(events.size());
            }
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

// The block's file is never mapped: reads and writes go through the file (the page cache, so
// they are as coherent between processes as a shared mapping), and a truncated file gives a
// short read or is extended by a write instead of SIGBUS.

namespace {

// File offset of the block's first byte (its header).
constexpr off_t kBlockOffset = static_cast<off_t>(kPayloadOffset);

bool ReadBlockBytes(const Object& obj, void* pDst, off_t offset, uint32_t cb) noexcept {
    ssize_t n;
    do {
        n = ::pread(obj.file.Get(), pDst, cb, kBlockOffset + offset);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(cb);
}

bool WriteBlockBytes(const Object& obj, const void* pSrc, off_t offset, uint32_t cb) noexcept {
    ssize_t n;
    do {
        n = ::pwrite(obj.file.Get(), pSrc, cb, kBlockOffset + offset);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(cb);
}

} // namespace

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
        if (bCreate && !WriteBlockBytes(*obj, &dwDataSize, 0, sizeof dwDataSize)) {
            return false;
        }
        m_hMapping = ObjectPtr(obj.release());
        m_dwDataSize = dwDataSize;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

uint32_t CQShareMemory::Read(void* pDst, uint32_t dwOffset, uint32_t cb) const noexcept {
    if (!m_hMapping || pDst == nullptr || dwOffset > m_dwDataSize || cb > m_dwDataSize - dwOffset) {
        return 0;
    }
    // Through a buffer, so that a short read copies nothing.
    uint8_t buffer[256];
    if (cb > sizeof buffer) {
        return ReadBlockBytes(*m_hMapping, pDst, 4 + off_t{dwOffset}, cb) ? cb : 0;
    }
    if (!ReadBlockBytes(*m_hMapping, buffer, 4 + off_t{dwOffset}, cb)) {
        return 0;
    }
    std::memcpy(pDst, buffer, cb);
    return cb;
}

uint32_t CQShareMemory::Write(const void* pSrc, uint32_t dwOffset, uint32_t cb) noexcept {
    if (!m_hMapping || pSrc == nullptr || dwOffset > m_dwDataSize || cb > m_dwDataSize - dwOffset) {
        return 0;
    }
    return WriteBlockBytes(*m_hMapping, pSrc, 4 + off_t{dwOffset}, cb) ? cb : 0;
}

uint32_t CQShareMemory::StoredDataSize() const noexcept {
    uint32_t size = 0;
    if (!m_hMapping || !ReadBlockBytes(*m_hMapping, &size, 0, sizeof size)) {
        return 0;
    }
    return size;
}

bool CQShareMemory::Restore() noexcept {
    if (!m_hMapping || !RestoreMemoryFile(*m_hMapping, size_t{m_dwDataSize} + 4)) {
        return false;
    }
    return StoredDataSize() == m_dwDataSize ||
           WriteBlockBytes(*m_hMapping, &m_dwDataSize, 0, sizeof m_dwDataSize);
}

void CQShareMemory::Close() noexcept {
    m_pData = nullptr;
    m_dwDataSize = 0;
    m_hMapping.reset();
}

// ---------------------------------------------------------------------------------------------

std::string VelomixNamedObjectsProblem() {
    std::string problem;
    OpenObjectDirectory(&problem);
    return problem;
}
