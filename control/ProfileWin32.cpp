#include "Profile.h"

#include <windows.h>

uint32_t ReadProfileString(const char* section, const char* key, const char* defaultText,
                           char* buffer, uint32_t bufferSize, const char* path) {
    if (buffer == nullptr || bufferSize == 0) {
        return 0;
    }
    return static_cast<uint32_t>(
        GetPrivateProfileStringA(section, key, defaultText, buffer, bufferSize, path));
}
