// The module's diagnostic log: one line where something is refused or fails, for whoever looks
// into a graph that does not do what it should. Nothing here runs in the normal course of
// streaming.
//
// Where lines go: on Windows to OutputDebugString (a debugger shows them; under Wine,
// WINEDEBUG=+debugstr), elsewhere to stderr. Which levels: the environment variable VELOMIX_LOG,
// read at each line (lines are rare): 0 nothing, 1 errors, 2 errors and warnings, 3 everything.
// Without it: errors and warnings on Windows (a debug string costs nothing without a listener),
// nothing elsewhere (the host's stderr is its own).
#pragma once

enum class LogLevel { Error = 1, Warning = 2, Info = 3 };

bool IsLogged(LogLevel level) noexcept;

// printf-style; the line is cut at 511 characters. Never throws, never allocates.
void LogMessage(LogLevel level, const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// For what a person must learn even where the log is off by default (the control channel is
// missing, say): the line goes to the log when it takes the level, else (elsewhere than
// Windows) to stderr all the same, never to both. The caller says it once per process.
void LogNotice(LogLevel level, const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
