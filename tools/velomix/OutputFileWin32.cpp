#include "OutputFile.h"

#include "Win32Text.h"

#include <cstdio>

namespace {

// Opens an existing file or folder for its identity only: no access asked, every sharing
// allowed, so that a file open elsewhere can be looked at too.
HANDLE OpenForIdentity(const std::string& path) {
    return CreateFileW(WideFromAnsi(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* pInfo) {
    const HANDLE h = OpenForIdentity(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(h, pInfo) != FALSE;
    CloseHandle(h);
    return ok;
}

// A device path (\\.\pipe\NAME, \\.\NUL, ...): written where it is.
bool IsDevicePath(const std::string& path) { return path.compare(0, 4, "\\\\.\\") == 0; }

// For messages: the folder part of path, "." for none.
std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

} // namespace

COutputFile::~COutputFile() { Discard(); }

bool COutputFile::SameFile(const std::string& inputPath, const std::string& outputPath) {
    if (IsDevicePath(outputPath))
        return false;
    BY_HANDLE_FILE_INFORMATION in{}, out{};
    return Identity(inputPath, &in) && Identity(outputPath, &out) &&
           in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
           in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow;
}

COutputFile::Result COutputFile::Create(const std::string& inputPath,
                                         const std::string& outputPath) {
    Discard();
    m_Error.clear();
    if (SameFile(inputPath, outputPath)) {
        m_Error = "it is the input file";
        return Result::SameAsInput;
    }
    if (IsDevicePath(outputPath)) {
        m_TargetPath = m_WritePath = outputPath;
        return Result::Ok;
    }
    const DWORD attributes = GetFileAttributesW(WideFromAnsi(outputPath).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_Error = "it is a folder";
        return Result::Failed;
    }
    // Moving over a file would replace one that is marked read-only: it stays.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        m_Error = "it is read-only";
        return Result::Failed;
    }
    m_TargetPath = outputPath;
    const std::string folder = Folder(outputPath);
    const std::string stem = outputPath + ".velomix-";
    const unsigned seed = GetCurrentProcessId() ^ GetTickCount();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof(suffix), "%08x.tmp", seed * 2654435761u + attempt);
        const std::string path = stem + suffix;
        // Reserved under a name of its own; the writer opens it again.
        const HANDLE h = CreateFileW(WideFromAnsi(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            m_Error = "cannot create a file in " + folder + ": " + SystemErrorText(error);
            return Result::Failed;
        }
        CloseHandle(h);
        m_WritePath = path;
        m_bTemporary = true;
        return Result::Ok;
    }
    m_Error = "cannot find a free temporary name in " + folder;
    return Result::Failed;
}

bool COutputFile::Commit() {
    if (!m_bTemporary)
        return true;
    if (!MoveFileExW(WideFromAnsi(m_WritePath).c_str(), WideFromAnsi(m_TargetPath).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        m_Error = SystemErrorText(GetLastError());
        Discard();
        return false;
    }
    m_bTemporary = false;
    return true;
}

void COutputFile::Discard() noexcept {
    if (m_bTemporary)
        DeleteFileW(WideFromAnsi(m_WritePath).c_str());
    m_bTemporary = false;
}
