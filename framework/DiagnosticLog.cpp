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
    return static_cast<int>(level) <= ThresholdFromEnvironment();
}

namespace {

void WriteLine(LogLevel level, const char* format, va_list args) noexcept {
    char line[512];
    const int prefix = std::snprintf(line, sizeof line, "Velomix %s: ", LevelName(level));
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 1, format, args);
#ifdef _WIN32
    // The text is UTF-8 (paths among it); the wide call shows it whatever the code page. Not the
    // strict converter: a line cut inside a character still shows, the rest as U+FFFD. The
    // call adds no line end.
    WCHAR wide[sizeof line + 2];
    const int n = MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, static_cast<int>(sizeof line));
    if (n <= 0)
        return;
    wide[n - 1] = L'\n';
    wide[n] = L'\0';
    OutputDebugStringW(wide);
#else
    std::fprintf(stderr, "%s\n", line);
#endif
}

} // namespace

void LogMessage(LogLevel level, const char* format, ...) noexcept {
    if (!IsLogged(level))
        return;
    va_list args;
    va_start(args, format);
    WriteLine(level, format, args);
    va_end(args);
}

void LogNotice(LogLevel level, const char* format, ...) noexcept {
#ifdef _WIN32
    // A module has no stderr there: the debug string is all there is.
    if (!IsLogged(level))
        return;
#endif
    va_list args;
    va_start(args, format);
    WriteLine(level, format, args);
    va_end(args);
}
