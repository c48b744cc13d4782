#include "GuidText.h"

#include <cstdio>

std::string GuidString(REFGUID guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuidString(const std::string& text, GUID* guid) {
    // Positions of the 32 hexadecimal digits in "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-')
        return false;
    unsigned char bytes[16];
    size_t pos = 1;
    for (unsigned char& b : bytes) {
        if (text[pos] == '-')
            ++pos;
        int v = 0;
        for (int i = 0; i < 2; ++i, ++pos) {
            const char c = text[pos];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        b = static_cast<unsigned char>(v);
    }
    guid->Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
                  static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    guid->Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        guid->Data4[i] = bytes[8 + i];
    return true;
}
