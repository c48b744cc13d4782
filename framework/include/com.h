// COM: on Windows the SDK headers, elsewhere the framework's own declarations.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#else
#include "posix/com_decl.h"
#endif

// The module's own identifiers: one definition across the program on every platform.
#define VMX_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                           \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
