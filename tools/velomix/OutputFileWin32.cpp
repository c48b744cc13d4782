#include "OutputFile.h"
#include "OutputFileSystem.h"

#include "Win32Text.h"

#include <cstdio>

namespace {

// Opens an existing file or folder for its identity only: no access asked, every sharing
// allowed, so that a file open elsewhere can be looked at too.
HANDLE OpenForIdentity(const std::string& path) {
    return CreateFileW(WideFromUtf8(path).c_str(), 0,
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
bool IsDevicePath(const std::string& path) {
    return path.compare(0, 4, "\\\\.\\") == 0;
}

} // namespace

namespace outputfile {

bool Identify(const std::string& path, FileIdentity* pIdentity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (IsDevicePath(path) || !Identity(path, &info))
        return false;
    pIdentity->device = info.dwVolumeSerialNumber;
    pIdentity->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

Kind Inspect(const std::string& path, std::string* pWhy) {
    if (IsDevicePath(path))
        return Kind::Device;
    const DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Kind::Replaceable;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Kind::Folder;
    // Moving over a file would replace one that is marked read-only: it stays.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        *pWhy = "it is read-only";
        return Kind::Kept;
    }
    return Kind::Replaceable;
}

// OUT itself: MoveFileEx replaces the name it is given.
std::string ReplacedFile(const std::string& path) {
    return path;
}

// The folder part of the path with its separator, "." for none.
std::string FolderOf(const std::string& replaced) {
    const size_t slash = replaced.find_last_of("\\/");
    return slash == std::string::npos ? "." : replaced.substr(0, slash + 1);
}

// A killed velomix.exe's file stays: its name does not yet say whose it is.
void RemoveStaleTemporaries(const std::string&) {}

unsigned NameSeed() {
    return GetCurrentProcessId() ^ GetTickCount();
}

// "NAME.velomix-" and eight hex digits, ".tmp".
std::string TemporaryName(const std::string& replaced, unsigned seed, unsigned attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof(suffix), "%08x.tmp", seed * 2654435761u + attempt);
    return replaced + ".velomix-" + suffix;
}

Created CreateNew(const std::string& path, const std::string&, std::string* pError) {
    // Reserved under a name of its own; the writer opens it again.
    const HANDLE h = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return Created::NameTaken;
        *pError = SystemErrorText(error);
        return Created::Failed;
    }
    CloseHandle(h);
    return Created::Ok;
}

bool Replace(const std::string& from, const std::string& to, std::string* pError) {
    if (!MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        *pError = SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

void Remove(const std::string& path) noexcept {
    DeleteFileW(WideFromUtf8(path).c_str());
}

} // namespace outputfile
