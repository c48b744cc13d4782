// The native registry store's files: where they live, reading, and the locked, atomic
// read-modify-write of one hive.
#include "RegistryStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace regstore {

namespace {

// Hive files are small; anything larger is not one of ours.
constexpr off_t kMaxHiveBytes = 64 * 1024 * 1024;
const char kHiveName[] = "hive.reg";
const char kLockName[] = "hive.lock";

bool IsAbsolute(const char* path) {
    return path && path[0] == '/';
}

std::string AccountHome() {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) == ERANGE &&
           scratch.size() < (size_t{1} << 20))
        scratch.resize(scratch.size() * 2);
    return found && IsAbsolute(found->pw_dir) ? found->pw_dir : "";
}

// A file descriptor owned by scope.
class CFd {
public:
    explicit CFd(int fd = -1) noexcept : m_fd(fd) {}
    ~CFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const noexcept { return m_fd; }
    int Release() noexcept {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// An exclusive flock on the hive's lock file, held for the scope. flock (not fcntl) so that
// threads of one process, each with its own open file description, exclude each other too.
class CHiveLock {
public:
    explicit CHiveLock(const std::string& path) noexcept
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (m_fd.Get() < 0)
            return;
        int rc;
        while ((rc = ::flock(m_fd.Get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
        m_bHeld = rc == 0;
    }
    bool Held() const noexcept { return m_bHeld; }
    // The lock ends when the descriptor closes.

private:
    CFd m_fd;
    bool m_bHeld = false;
};

LONG FromErrno(int error, LONG otherwise) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

// Creates the folder and its parents (mode 0700 for what it creates).
LONG EnsureFolder(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return FromErrno(errno, ERROR_CANTWRITE);
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_SUCCESS
                                                                   : ERROR_CANTWRITE;
}

LONG ReadFile(const std::string& file, std::string* text) {
    CFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                                   : FromErrno(errno, ERROR_CANTREAD);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ERROR_CANTREAD;
    if (st.st_size > kMaxHiveBytes)
        return ERROR_BADDB;
    text->clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ERROR_CANTREAD;
        if (n == 0)
            return ERROR_SUCCESS;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > static_cast<size_t>(kMaxHiveBytes))
            return ERROR_BADDB;
    }
}

// Writes the text to a new file beside the hive and renames it over the hive: readers see the
// old hive or the new one, never a mixture, and a writer that dies leaves the old one.
LONG ReplaceFile(const std::string& folder, const std::string& file, const std::string& text) {
    std::string temp = file + ".XXXXXX";
    CFd fd(::mkostemp(&temp[0], O_CLOEXEC));
    if (fd.Get() < 0)
        return FromErrno(errno, ERROR_CANTWRITE);
    bool bOk = true;
    for (size_t done = 0; bOk && done < text.size();) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    bOk = bOk && ::fsync(fd.Get()) == 0;
    bOk = ::close(fd.Release()) == 0 && bOk;
    if (!bOk || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return ERROR_CANTWRITE;
    }
    // The rename itself is made durable with the folder.
    CFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return ERROR_SUCCESS;
}

// Under the lock no other writer is active, so a temporary file still there was left by one
// that died before its rename.
void RemoveLeftovers(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const std::string prefix = std::string(kHiveName) + '.';
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
            stale.push_back(folder + '/' + name);
    }
    ::closedir(dir);
    for (const std::string& path : stale)
        ::unlink(path.c_str());
}

} // namespace

std::string HiveFolder(RegHive hive) {
    const std::string store = RegStoreFolder();
    if (store.empty())
        return store;
    switch (hive) {
    case RegHive::ClassesRoot:
        return store + "/classes";
    case RegHive::CurrentUser:
        return store + "/user";
    case RegHive::LocalMachine:
        return store + "/machine";
    }
    return {};
}

std::string HiveFile(RegHive hive) {
    const std::string folder = HiveFolder(hive);
    return folder.empty() ? folder : folder + '/' + kHiveName;
}

LONG ReadHive(RegHive hive, CHive* out, std::string* problem) {
    const std::string file = HiveFile(hive);
    std::string text;
    const LONG result = file.empty() ? ERROR_FILE_NOT_FOUND : ReadFile(file, &text);
    if (result == ERROR_FILE_NOT_FOUND) {
        *out = CHive();
        return ERROR_SUCCESS;
    }
    if (result == ERROR_BADDB && problem)
        *problem = file + ": larger than a registry store file can be";
    if (result != ERROR_SUCCESS)
        return result;
    std::string what;
    std::vector<std::string> notes;
    if (!out->Parse(text, &what, &notes)) {
        if (problem)
            *problem = file + ':' + what.substr(std::strlen("line "));
        return ERROR_BADDB;
    }
    if (problem && !notes.empty())
        *problem = file + ':' + notes.front().substr(std::strlen("line "));
    return ERROR_SUCCESS;
}

LONG CheckWritable(RegHive hive) {
    const std::string folder = HiveFolder(hive);
    if (folder.empty())
        return ERROR_ACCESS_DENIED;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        // Not there yet: it is made on the first change, where its parent allows.
        return errno == ENOENT ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    // The owner's write bit counts even for root, so that a folder made read-only protects its
    // hive for every caller, as HKEY_LOCAL_MACHINE does for a user without administrator rights.
    if (!S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0 || ::access(folder.c_str(), W_OK) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

LONG ModifyHive(RegHive hive, const std::function<LONG(CHive& hive, bool* changed)>& change) {
    LONG result = CheckWritable(hive);
    if (result != ERROR_SUCCESS)
        return result;
    const std::string folder = HiveFolder(hive);
    if ((result = EnsureFolder(folder)) != ERROR_SUCCESS)
        return result;
    const CHiveLock lock(folder + '/' + kLockName);
    if (!lock.Held())
        return ERROR_ACCESS_DENIED;
    CHive model;
    if ((result = ReadHive(hive, &model)) != ERROR_SUCCESS)
        return result;
    bool bChanged = false;
    if ((result = change(model, &bChanged)) != ERROR_SUCCESS || !bChanged)
        return result;
    RemoveLeftovers(folder);
    return ReplaceFile(folder, HiveFile(hive), model.Serialize());
}

} // namespace regstore

std::string RegStoreFolder() {
    try {
        using regstore::IsAbsolute;
        if (const char* dir = std::getenv("VELOMIX_REGISTRY_DIR"); IsAbsolute(dir))
            return dir;
        std::string data;
        if (const char* xdg = std::getenv("XDG_DATA_HOME"); IsAbsolute(xdg)) {
            data = xdg;
        } else {
            const char* home = std::getenv("HOME");
            const std::string base = IsAbsolute(home) ? std::string(home) : regstore::AccountHome();
            if (base.empty())
                return {};
            data = base + "/.local/share";
        }
        return data + "/velomix/registry";
    } catch (...) {
        return {};
    }
}
