#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::string SystemError(int error) { return std::strerror(error); }

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

// The path with its chain of symbolic links followed (also to a target that does not exist
// yet), so that the result replaces the file the link names and the link stays.
std::string FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
        if (n <= 0)
            break;
        const std::string link(target.data(), static_cast<size_t>(n));
        path = link[0] == '/' ? link : Folder(path) + "/" + link;
    }
    return path;
}

} // namespace

COutputFile::~COutputFile() { Discard(); }

bool COutputFile::SameFile(const std::string& inputPath, const std::string& outputPath) {
    struct stat in {}, out {};
    return stat(inputPath.c_str(), &in) == 0 && stat(outputPath.c_str(), &out) == 0 &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

COutputFile::Result COutputFile::Create(const std::string& inputPath,
                                         const std::string& outputPath) {
    Discard();
    m_Error.clear();
    if (SameFile(inputPath, outputPath)) {
        m_Error = "it is the input file";
        return Result::SameAsInput;
    }
    struct stat st {};
    const bool bExists = stat(outputPath.c_str(), &st) == 0;
    if (bExists && S_ISDIR(st.st_mode)) {
        m_Error = "it is a folder";
        return Result::Failed;
    }
    if (bExists && !S_ISREG(st.st_mode)) {
        // A FIFO, a terminal, /dev/null: written where it is.
        m_TargetPath = m_WritePath = outputPath;
        return Result::Ok;
    }

    // Renaming over a file needs only the folder's permission: a file we may not write stays.
    if (bExists && access(outputPath.c_str(), W_OK) != 0) {
        m_Error = SystemError(errno);
        return Result::Failed;
    }
    m_TargetPath = FollowLinks(outputPath);
    // A replaced file keeps its permissions; a new one gets what the umask leaves of rw-rw-rw-.
    const mode_t mode = bExists ? (st.st_mode & 07777) : 0666;
    const std::string stem = Folder(m_TargetPath) + "/." + BaseName(m_TargetPath) + ".velomix-";
    std::mt19937 random(static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<unsigned>(getpid()) << 16)));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof(suffix), "%06x", static_cast<unsigned>(random() & 0xFFFFFF));
        const std::string path = stem + suffix;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            m_Error = "cannot create a file in " + Folder(m_TargetPath) + ": " + SystemError(errno);
            return Result::Failed;
        }
        // open() applies the umask; a replaced file keeps exactly the mode it had.
        if (bExists)
            fchmod(fd, mode);
        close(fd);
        m_WritePath = path;
        m_bTemporary = true;
        return Result::Ok;
    }
    m_Error = "cannot find a free temporary name in " + Folder(m_TargetPath);
    return Result::Failed;
}

bool COutputFile::Commit() {
    if (!m_bTemporary)
        return true;
    if (rename(m_WritePath.c_str(), m_TargetPath.c_str()) != 0) {
        m_Error = SystemError(errno);
        Discard();
        return false;
    }
    m_bTemporary = false;
    return true;
}

void COutputFile::Discard() noexcept {
    if (m_bTemporary)
        unlink(m_WritePath.c_str());
    m_bTemporary = false;
}
