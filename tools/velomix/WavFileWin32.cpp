#include "WavFile.h"

#include "WavHeader.h"

#include "Win32Text.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Closes an owned handle at the end of a scope.
class CFileHandle {
public:
    explicit CFileHandle(HANDLE h) noexcept : m_h(h) {}
    ~CFileHandle() {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    HANDLE Get() const noexcept { return m_h; }

private:
    HANDLE m_h;
};

} // namespace

bool CheckWavFile(const std::string& path, std::string* pError) {
    const CFileHandle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        *pError = SystemErrorText(GetLastError());
        return false;
    }
    uint8_t head[12] = {};
    DWORD got = 0;
    if (!ReadFile(file.Get(), head, sizeof(head), &got, nullptr)) {
        *pError = SystemErrorText(GetLastError());
        return false;
    }
    if (got < sizeof(head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        *pError = "not a WAV file (velomix on Windows reads and writes WAV files only)";
        return false;
    }
    return true;
}

CWavFileWriter::~CWavFileWriter() {
    if (m_hFile != INVALID_HANDLE_VALUE)
        Finish();
}

bool CWavFileWriter::Fail(const std::string& what) {
    m_Error = what;
    return false;
}

void CWavFileWriter::Close() noexcept {
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

bool CWavFileWriter::Open(const std::string& path) {
    Close();
    m_bHeader = false;
    m_cbData = 0;
    m_Format.clear();
    // Devices (a pipe's \\.\pipe\name) exist before they are written to; files are replaced.
    const bool bDevice = path.compare(0, 4, "\\\\.\\") == 0;
    // FILE_SHARE_DELETE: a temporary file can be removed while it is still being written (the
    // system then removes it when it is closed).
    m_hFile = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          bDevice ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE)
        return Fail(SystemErrorText(GetLastError()));
    m_bSeekable = GetFileType(m_hFile) == FILE_TYPE_DISK;
    return true;
}

bool CWavFileWriter::WriteAll(const void* pData, size_t cb) {
    const auto* p = static_cast<const uint8_t*>(pData);
    while (cb > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(cb, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(m_hFile, p, chunk, &written, nullptr))
            return Fail(SystemErrorText(GetLastError()));
        if (written == 0)
            return Fail("nothing could be written");
        p += written;
        cb -= written;
    }
    return true;
}

bool CWavFileWriter::WriteHeader(const WAVEFORMATEX* pwfx, size_t cbFormat) {
    if (m_hFile == INVALID_HANDLE_VALUE || m_bHeader)
        return Fail("the file is not open for a header");
    WavHeaderPlan plan;
    plan.bReserveDs64 = m_bSeekable;
    plan.bSizesKnown = m_bSeekable;
    std::vector<uint8_t> header;
    std::string error;
    if (!BuildWavHeader(pwfx, cbFormat, plan, &header, &error))
        return Fail(error);
    const auto* pFormat = reinterpret_cast<const uint8_t*>(pwfx);
    m_Format.assign(pFormat, pFormat + cbFormat);
    m_cbHeader = header.size();
    if (!WriteAll(header.data(), header.size()))
        return false;
    m_bHeader = true;
    return true;
}

bool CWavFileWriter::Write(const void* pData, size_t cb) {
    if (!m_bHeader)
        return Fail("no header written");
    if (!WriteAll(pData, cb))
        return false;
    m_cbData += cb;
    return true;
}

bool CWavFileWriter::Finish() {
    if (m_hFile == INVALID_HANDLE_VALUE)
        return m_Error.empty();
    bool ok = true;
    if (m_bHeader) {
        const uint8_t pad = 0;
        ok = (m_cbData & 1) == 0 || WriteAll(&pad, 1);
        if (ok && m_bSeekable) {
            // The same header with the sizes; RF64 past 4 GiB, in the room reserved for it.
            WavHeaderPlan plan;
            plan.cbData = m_cbData;
            std::vector<uint8_t> header;
            std::string error;
            LARGE_INTEGER start{};
            if (!BuildWavHeader(reinterpret_cast<const WAVEFORMATEX*>(m_Format.data()),
                                m_Format.size(), plan, &header, &error))
                ok = Fail(error);
            else if (header.size() != m_cbHeader)
                ok = Fail("the header changed its length");
            else if (!SetFilePointerEx(m_hFile, start, nullptr, FILE_BEGIN))
                ok = Fail(SystemErrorText(GetLastError()));
            else
                ok = WriteAll(header.data(), header.size());
        }
    }
    if (!CloseHandle(m_hFile) && ok)
        ok = Fail(SystemErrorText(GetLastError()));
    m_hFile = INVALID_HANDLE_VALUE;
    return ok;
}
