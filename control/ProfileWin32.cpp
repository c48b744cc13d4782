#include "Profile.h"

#include "win32/WideText.h"

#include <windows.h>

#include <algorithm>
#include <vector>

uint32_t ReadProfileString(const char* section, const char* key, const char* defaultText,
                           char* buffer, uint32_t bufferSize, const char* path) {
    if (buffer == nullptr || bufferSize == 0) {
        return 0;
    }
    buffer[0] = '\0';
    try {
        // The wide call, so that a path outside the ANSI code page still names the file; texts
        // that are not UTF-8 name no file and give nothing.
        std::wstring wideSection, wideKey, wideDefault, widePath;
        if (section == nullptr || key == nullptr || path == nullptr ||
            !WideFromUtf8(section, &wideSection) || !WideFromUtf8(key, &wideKey) ||
            !WideFromUtf8(defaultText ? defaultText : "", &wideDefault) ||
            !WideFromUtf8(path, &widePath)) {
            return 0;
        }
        std::vector<WCHAR> wide(static_cast<size_t>(bufferSize) + 1);
        const DWORD n = GetPrivateProfileStringW(wideSection.c_str(), wideKey.c_str(),
                                                 wideDefault.c_str(), wide.data(),
                                                 static_cast<DWORD>(wide.size()), widePath.c_str());
        std::string text;
        if (!Utf8FromWide(wide.data(), n, &text)) {
            return 0;
        }
        // Cut to the buffer at a character's start, never inside one.
        size_t nCopy = std::min<size_t>(text.size(), bufferSize - 1);
        while (nCopy < text.size() && nCopy > 0 &&
               (static_cast<unsigned char>(text[nCopy]) & 0xC0) == 0x80) {
            --nCopy;
        }
        text.copy(buffer, nCopy);
        buffer[nCopy] = '\0';
        return static_cast<uint32_t>(nCopy);
    } catch (...) {
        return 0;
    }
}
