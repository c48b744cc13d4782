#include "Environment.h"

#include <cstdlib>
#include <cstring>

bool EnvironmentIs(const char* name, const char* value) noexcept {
    const char* text = std::getenv(name);
    return text != nullptr && std::strcmp(text, value) == 0;
}
