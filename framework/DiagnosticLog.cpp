#include "DiagnosticLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
constexpr int kDefaultLevel = static_cast<int>(LogLevel::Warning);
#else
constexpr int kDefaultLevel = 0;
#endif

int ThresholdFromEnvironment() noexcept {
    const char* text = std::getenv("VELOMIX_LOG");
    if (text == nullptr || text[0] < '0' || text[0] > '9' || text[1] != '\0')
        return kDefaultLevel;
    return text[0] - '0';
}

const char* LevelName(LogLevel level) noexcept {
    switch (level) {
    case LogLevel::Error:
        return "error";
    case LogLevel::Warning:
        return "warning";
    default:
        return "info";
    }
}

} // namespace

bool IsLogged(LogLevel level) noexcept {
    static const int s_nThreshold = ThresholdFromEnvironment();
    return static_cast<int>(level) <= s_nThreshold;
}

void LogMessage(LogLevel level, const char* format, ...) noexcept {
    if (!IsLogged(level))
        return;
    char line[512];
    const int prefix = std::snprintf(line, sizeof line, "Velomix %s: ", LevelName(level));
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 1, format, args);
    va_end(args);
#ifdef _WIN32
    // OutputDebugStringA does not add a line end.
    char* end = line;
    while (*end)
        ++end;
    end[0] = '\n';
    end[1] = '\0';
    OutputDebugStringA(line);
#else
    std::fprintf(stderr, "%s\n", line);
#endif
}
