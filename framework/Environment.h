// The process's environment as the module reads it.
#pragma once

// True when the environment variable `name` is set to exactly `value` (both ASCII).
// Windows: read with GetEnvironmentVariableW, so that a host's SetEnvironmentVariable before it
// loads the module is seen (the C runtime's copy of the environment does not follow that call).
// Elsewhere: getenv.
bool EnvironmentIs(const char* name, const char* value) noexcept;
