#include "OutputFile.h"
#include "OutputFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::string SystemError(int error) {
    return std::strerror(error);
}

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

namespace outputfile {

bool Identify(const std::string& path, FileIdentity* pIdentity) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    pIdentity->device = static_cast<uint64_t>(st.st_dev);
    pIdentity->file = static_cast<uint64_t>(st.st_ino);
    return true;
}

Kind Inspect(const std::string& path, std::string* pWhy) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return Kind::Replaceable;
    if (S_ISDIR(st.st_mode))
        return Kind::Folder;
    // A FIFO, a terminal, /dev/null.
    if (!S_ISREG(st.st_mode))
        return Kind::Device;
    // Renaming over a file needs only the folder's permission: a file we may not write stays.
    if (access(path.c_str(), W_OK) != 0) {
        *pWhy = SystemError(errno);
        return Kind::Kept;
    }
    return Kind::Replaceable;
}

// The path with its chain of symbolic links followed (also to a target that does not exist
// yet).
std::string ReplacedFile(const std::string& path) {
    std::string followed = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(followed.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = readlink(followed.c_str(), target.data(), target.size() - 1);
        if (n <= 0)
            break;
        const std::string link(target.data(), static_cast<size_t>(n));
        followed = link[0] == '/' ? link : Folder(followed) + "/" + link;
    }
    return followed;
}

std::string FolderOf(const std::string& replaced) {
    return Folder(replaced);
}

namespace {

// Tells this system's processes apart from those of others that may share a folder: another
// machine (the host name), an earlier boot (the boot id), a container (the pid namespace).
// Eight hex digits of a hash of them.
std::string HostTag() {
    std::string id;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0)
        id = host;
    if (std::FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
        char boot[64] = {};
        if (std::fgets(boot, sizeof boot, f))
            id += std::string("\n") + boot;
        std::fclose(f);
    }
    char ns[64] = {};
    if (readlink("/proc/self/ns/pid", ns, sizeof ns - 1) > 0)
        id += std::string("\n") + ns;
    uint32_t hash = 2166136261u; // FNV-1a
    for (const unsigned char c : id)
        hash = (hash ^ c) * 16777619u;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(hash));
    return tag;
}

// A run's temporary name is ".NAME.velomix-PID-TAG-RANDOM": PID in decimal, TAG eight and
// RANDOM six lowercase hex digits. True with the pid and the tag for such a name only.
bool ParseTemporaryName(const std::string& name, pid_t* pPid, std::string* pTag) {
    static const std::string kMark = ".velomix-";
    const size_t mark = name.rfind(kMark);
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2)
        return false;
    const std::string rest = name.substr(mark + kMark.size());
    const size_t dash = rest.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 9 || rest.size() != dash + 1 + 8 + 1 + 6 ||
        rest[dash + 9] != '-')
        return false;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    auto isHex = [&](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); };
    for (size_t i = 0; i < rest.size(); ++i) {
        const bool ok = i < dash ? isDigit(rest[i]) : i == dash || i == dash + 9 || isHex(rest[i]);
        if (!ok)
            return false;
    }
    *pPid = static_cast<pid_t>(std::stol(rest.substr(0, dash)));
    *pTag = rest.substr(dash + 1, 8);
    return *pPid > 0;
}

} // namespace

void RemoveStaleTemporaries(const std::string& replaced) {
    const std::string folder = Folder(replaced);
    DIR* d = opendir(folder.c_str());
    if (!d)
        return;
    const std::string tag = HostTag();
    const pid_t self = getpid();
    while (const dirent* e = readdir(d)) {
        pid_t pid = 0;
        std::string fileTag;
        if (!ParseTemporaryName(e->d_name, &pid, &fileTag) || fileTag != tag || pid == self)
            continue;
        // Gone for certain: no such process here. EPERM is a live process of another user.
        if (kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        // Only a file of this user's: another user's runs are theirs to clean up.
        const std::string path = folder + "/" + e->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
            unlink(path.c_str());
    }
    closedir(d);
}

unsigned NameSeed() {
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                 (static_cast<unsigned>(getpid()) << 16));
}

// A hidden name that says whose it is (ParseTemporaryName), so that a later run can tell the
// file of a killed one.
std::string TemporaryName(const std::string& replaced, unsigned seed, unsigned attempt) {
    std::mt19937 random(seed);
    random.discard(attempt);
    char suffix[48];
    std::snprintf(suffix, sizeof(suffix), "%ld-%s-%06x", static_cast<long>(getpid()),
                  HostTag().c_str(), static_cast<unsigned>(random() & 0xFFFFFF));
    return Folder(replaced) + "/." + BaseName(replaced) + ".velomix-" + suffix;
}

Created CreateNew(const std::string& path, const std::string& replaced, std::string* pError) {
    // A replaced file keeps its permissions, but never set-user-ID, set-group-ID or sticky: the
    // new file is this process's, and its content is not what the old file's owner chose. A new
    // one gets what the umask leaves of rw-rw-rw-.
    struct stat st {};
    const bool bReplaces = stat(replaced.c_str(), &st) == 0;
    const mode_t mode = bReplaces ? (st.st_mode & 0777) : 0666;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST)
        return Created::NameTaken;
    if (fd < 0) {
        *pError = SystemError(errno);
        return Created::Failed;
    }
    // open() applies the umask; a replaced file keeps exactly the mode it had.
    if (bReplaces)
        fchmod(fd, mode);
    close(fd);
    return Created::Ok;
}

namespace {

// Gives the finished file the owner and group of the file it replaces, as far as this process
// may (root may; others may give a group of theirs, or nothing). Done only now: until the run
// has finished, the temporary file stays this process's, so that in a shared sticky folder the
// owner of OUT cannot swap it for something else while it is being written. False when the
// file stays this process's, as a new file would be.
bool TakeOwnerOf(const std::string& from, const struct stat& replaced) {
    const int fd = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool given = fchown(fd, replaced.st_uid, replaced.st_gid) == 0 ||
                       fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) == 0;
    close(fd);
    return given;
}

// Writes the finished file through the replaced one, which has other hard links: renaming would
// leave them with the old content. The file keeps its inode, owner and mode, less its set-ID
// bits, since its content is new. *pError as for Replace.
bool CopyInto(const std::string& from, const std::string& to, const struct stat& replaced,
              std::string* pError) {
    const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        *pError = SystemError(errno);
        return false;
    }
    const int out = open(to.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (out < 0) {
        *pError = SystemError(errno);
        close(in);
        return false;
    }
    int error = 0;
    if (replaced.st_mode & 07000)
        fchmod(out, replaced.st_mode & 0777);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t at = 0; at < got && error == 0;) {
            const ssize_t put = write(out, buffer.data() + at, static_cast<size_t>(got - at));
            if (put > 0)
                at += put;
            else if (put < 0 && errno != EINTR)
                error = errno;
        }
        if (error != 0)
            break;
    }
    close(in);
    if (close(out) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        *pError = SystemError(error);
        return false;
    }
    unlink(from.c_str());
    return true;
}

} // namespace

bool Replace(const std::string& from, const std::string& to, std::string* pError) {
    struct stat st {};
    const bool bReplaces = lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (bReplaces && st.st_nlink > 1)
        return CopyInto(from, to, st, pError);
    if (bReplaces)
        TakeOwnerOf(from, st);
    if (rename(from.c_str(), to.c_str()) != 0) {
        *pError = SystemError(errno);
        return false;
    }
    return true;
}

void Remove(const std::string& path) noexcept {
    unlink(path.c_str());
}

} // namespace outputfile
