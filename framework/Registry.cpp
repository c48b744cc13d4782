// What the registry operations share on every platform.
#include "Registry.h"

#include <algorithm>
#include <new>

LONG CRegKey::QueryString(const std::string& name, std::string* text) const noexcept {
    try {
        DWORD type = 0;
        std::vector<BYTE> data;
        const LONG result = QueryValue(name, &type, &data);
        if (result != ERROR_SUCCESS)
            return result;
        if (type != kRegSz)
            return ERROR_INVALID_PARAMETER;
        // As the Win32 API reads it: up to the first zero.
        const auto end = std::find(data.begin(), data.end(), BYTE{0});
        text->assign(data.begin(), end);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
