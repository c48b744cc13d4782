#include "Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr size_t kMaxProfileBytes = size_t{1} << 20;

class CFileDescriptor {
public:
    explicit CFileDescriptor(int fd) noexcept : m_nFd(fd) {}
    ~CFileDescriptor() {
        if (m_nFd >= 0) {
            ::close(m_nFd);
        }
    }
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const noexcept { return m_nFd; }

private:
    int m_nFd;
};

bool ReadWholeFile(const char* path, std::string& text) {
    // O_NONBLOCK so that a FIFO put in the file's place cannot block the open.
    CFileDescriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<unsigned long long>(info.st_size) > kMaxProfileBytes) {
        return false;
    }
    // One byte more than the size seen, to notice a file that grew since the stat.
    text.resize(static_cast<size_t>(info.st_size) + 1);
    size_t nTotal = 0;
    for (;;) {
        if (nTotal == text.size()) {
            if (text.size() > kMaxProfileBytes) {
                return false;
            }
            text.resize(std::min(text.size() * 2, kMaxProfileBytes + 1));
        }
        const ssize_t nRead = ::read(file.Get(), &text[nTotal], text.size() - nTotal);
        if (nRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (nRead == 0) {
            break;
        }
        nTotal += static_cast<size_t>(nRead);
    }
    text.resize(nTotal);
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view& value) {
    constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.remove_prefix(kUtf8Bom.size());
    }
    // A NUL ends a line too, so that no value handed out contains one. (A loop of its own:
    // find_first_of looks each character up in the set through a call.)
    const auto isLineEnd = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    bool bInSection = false;
    size_t nPos = 0;
    while (nPos < text.size()) {
        size_t nEnd = nPos;
        while (nEnd < text.size() && !isLineEnd(text[nEnd])) {
            ++nEnd;
        }
        const std::string_view line = Trim(text.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const size_t nClose = line.rfind(']');
            if (nClose == std::string_view::npos) {
                continue;
            }
            if (bInSection) {
                return false; // later sections of the same name are never searched
            }
            bInSection = EqualNoCase(Trim(line.substr(1, nClose - 1)), section);
            continue;
        }
        const size_t nEquals = line.find('=');
        if (bInSection && nEquals != std::string_view::npos &&
            EqualNoCase(Trim(line.substr(0, nEquals)), key)) {
            value = Trim(line.substr(nEquals + 1));
            return true;
        }
    }
    return false;
}

std::string_view StripQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

uint32_t CopyOut(std::string_view text, char* buffer, uint32_t bufferSize) {
    const size_t nCopy = std::min(text.size(), static_cast<size_t>(bufferSize) - 1);
    std::memcpy(buffer, text.data(), nCopy);
    buffer[nCopy] = '\0';
    return static_cast<uint32_t>(nCopy);
}

} // namespace

uint32_t ReadProfileString(const char* section, const char* key, const char* defaultText,
                           char* buffer, uint32_t bufferSize, const char* path) {
    if (buffer == nullptr || bufferSize == 0) {
        return 0;
    }
    std::string_view fallback = defaultText != nullptr ? defaultText : "";
    while (!fallback.empty() && fallback.back() == ' ') {
        fallback.remove_suffix(1);
    }
    try {
        std::string text;
        std::string_view value;
        if (section != nullptr && key != nullptr && path != nullptr && ReadWholeFile(path, text) &&
            FindValue(text, Trim(section), Trim(key), value)) {
            return CopyOut(StripQuotes(value), buffer, bufferSize);
        }
    } catch (...) {
        // Only allocation can throw here; the default is the answer for an unreadable file.
    }
    return CopyOut(fallback, buffer, bufferSize);
}
