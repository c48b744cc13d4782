#include "WavFile.h"

#include "Win32Text.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutTag(std::vector<uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

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
    const CFileHandle file(CreateFileW(WideFromAnsi(path).c_str(), GENERIC_READ,
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
    // Devices (a pipe's \\.\pipe\name) exist before they are written to; files are replaced.
    const bool bDevice = path.compare(0, 4, "\\\\.\\") == 0;
    m_hFile = CreateFileW(WideFromAnsi(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
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
    if (!pwfx || cbFormat < 16 || pwfx->nBlockAlign == 0)
        return Fail("the stream has no wave format");
    // Integer PCM has the plain 16-byte format; every other format carries cbSize and its extra
    // bytes.
    size_t cbFmt = 16;
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM)
        cbFmt = cbFormat >= sizeof(WAVEFORMATEX)
                    ? std::min<size_t>(cbFormat, sizeof(WAVEFORMATEX) + pwfx->cbSize)
                    : 16;
    const uint32_t unknown = m_bSeekable ? 0 : kUnknownSize;

    std::vector<uint8_t> h;
    PutTag(h, "RIFF");
    Put32(h, unknown);
    PutTag(h, "WAVE");
    PutTag(h, "fmt ");
    Put32(h, static_cast<uint32_t>(cbFmt));
    const auto* pFormat = reinterpret_cast<const uint8_t*>(pwfx);
    h.insert(h.end(), pFormat, pFormat + 16);
    if (cbFmt > 16) {
        // cbSize as far as the connection carries it: what follows it is exactly cbFmt - 18 bytes.
        Put16(h, static_cast<uint16_t>(cbFmt - 18));
        h.insert(h.end(), pFormat + 18, pFormat + cbFmt);
    }
    if (cbFmt & 1)
        h.push_back(0);
    m_offFactFrames = 0;
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM) {
        PutTag(h, "fact");
        Put32(h, 4);
        m_offFactFrames = h.size();
        Put32(h, unknown);
    }
    PutTag(h, "data");
    m_offDataSize = h.size();
    Put32(h, unknown);
    m_cbHeader = h.size();
    m_nBlockAlign = pwfx->nBlockAlign;
    if (!WriteAll(h.data(), h.size()))
        return false;
    m_bHeader = true;
    return true;
}

bool CWavFileWriter::Write(const void* pData, size_t cb) {
    if (!m_bHeader)
        return Fail("no header written");
    // The RIFF size field counts everything after it, a pad byte included.
    if (m_cbHeader - 8 + m_cbData + cb + 1 > kUnknownSize - 1)
        return Fail("the output would exceed the 4 GB a WAV file can hold");
    if (!WriteAll(pData, cb))
        return false;
    m_cbData += cb;
    return true;
}

bool CWavFileWriter::WriteAt(uint64_t offset, uint32_t value) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(m_hFile, at, nullptr, FILE_BEGIN))
        return Fail(SystemErrorText(GetLastError()));
    std::vector<uint8_t> bytes;
    Put32(bytes, value);
    return WriteAll(bytes.data(), bytes.size());
}

bool CWavFileWriter::Finish() {
    if (m_hFile == INVALID_HANDLE_VALUE)
        return m_Error.empty();
    bool ok = true;
    if (m_bHeader) {
        const uint8_t pad = 0;
        const bool bPad = (m_cbData & 1) != 0;
        ok = !bPad || WriteAll(&pad, 1);
        if (ok && m_bSeekable) {
            const uint64_t riff = m_cbHeader - 8 + m_cbData + (bPad ? 1 : 0);
            ok = WriteAt(4, static_cast<uint32_t>(riff)) &&
                 WriteAt(m_offDataSize, static_cast<uint32_t>(m_cbData)) &&
                 (m_offFactFrames == 0 ||
                  WriteAt(m_offFactFrames, static_cast<uint32_t>(m_cbData / m_nBlockAlign)));
        }
    }
    if (!CloseHandle(m_hFile) && ok)
        ok = Fail(SystemErrorText(GetLastError()));
    m_hFile = INVALID_HANDLE_VALUE;
    return ok;
}
