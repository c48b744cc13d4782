// Where a job writes OUT. A regular file (or a name not yet taken) is written as a temporary
// file in the same folder and renamed over OUT only when the job has succeeded: a job that
// fails, is refused or is interrupted leaves OUT as it was and removes what it wrote (OUT with
// other hard links is then written through instead, so that every link sees the result). OUT
// that is IN under another name (a link, "./", another spelling) is refused before anything is
// opened for writing. A pipe or a device (a FIFO or /dev/null; \\.\pipe\NAME on Windows) is
// written in place, since it cannot be replaced.
#pragma once

#include <cstdint>
#include <string>

// Which file a name leads to: the device and the inode (the volume serial and the file index on
// Windows). Both must agree: an inode number alone repeats on every other device.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity& other) const noexcept {
        return device == other.device && file == other.file;
    }
    bool operator!=(const FileIdentity& other) const noexcept { return !(*this == other); }
};

class COutputFile {
public:
    enum class Result {
        Ok,
        SameAsInput, // OUT is IN: a usage error
        Failed,      // OUT cannot be written (a folder, a folder that cannot take new files)
    };

    COutputFile() = default;
    // Removes the temporary file unless Commit succeeded.
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // How a path's identity is found: the system's (outputfile::Identify), or a test's own.
    // False when the path names no file that has one.
    using IdentifyFile = bool (*)(const std::string& path, FileIdentity* pIdentity);
    // True when both paths name one existing file, by its identity, not by its name.
    static bool SameFile(const std::string& inputPath, const std::string& outputPath);
    static bool SameFile(const std::string& inputPath, const std::string& outputPath,
                         IdentifyFile identify);

    // Checks OUT against IN and makes the file the job writes (WritePath). Error() says why not.
    Result Create(const std::string& inputPath, const std::string& outputPath);
    // The file the writer opens: the temporary file, or OUT itself for a pipe or device.
    const std::string& WritePath() const noexcept { return m_WritePath; }
    // True while WritePath is a temporary file of this object's.
    bool IsTemporary() const noexcept { return m_bTemporary; }
    // Renames the finished temporary file over OUT (or copies it into OUT that has other hard
    // links); the writer has closed it. False with Error() set, the temporary file then removed.
    bool Commit();
    // Removes the temporary file now; OUT stays as it was.
    void Discard() noexcept;
    const std::string& Error() const noexcept { return m_Error; }

private:
    std::string m_TargetPath; // OUT, symbolic links followed: the name the result replaces
    std::string m_WritePath;
    bool m_bTemporary = false; // m_WritePath is ours to remove
    std::string m_Error;
};
