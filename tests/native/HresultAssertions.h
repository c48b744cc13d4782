// Result codes compared as hexadecimal text, so a failure shows which code came back.
#pragma once

#include "com.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

inline std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

#define EXPECT_HR(expected, call) EXPECT_EQ(Hex(expected), Hex(call))
#define ASSERT_HR(expected, call) ASSERT_EQ(Hex(expected), Hex(call))
