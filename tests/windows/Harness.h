// A small test harness for the Windows tests (GoogleTest is not packaged for mingw-w64).
//
// VMX_TEST(group, name) { ... } registers a case. CHECK records a failure and goes on;
// REQUIRE ends the case. Both take a condition and a printf-style message that says what was
// expected. Checks belong on the test's own thread: a filter callback records what it saw and
// the test checks it afterwards. The program runs the cases of the groups named on its command
// line (all without arguments), one after another, and ends with "N passed, N failed".
#pragma once

#include "com.h"

#include <string>

namespace vmxtest {

using TestFn = void (*)();
bool Register(const char* group, const char* name, TestFn fn);

// Records a failure of the running case; throws to end it when fatal.
void Fail(const char* file, int line, bool fatal, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// "0x80004001" for an HRESULT, for messages.
std::string Hex(HRESULT hr);
// A wide string as UTF-8, for messages.
std::string Narrow(const wchar_t* text);

} // namespace vmxtest

#define VMX_TEST(group, name)                                                                      \
    static void vmx_test_##group##_##name();                                                       \
    static const bool vmx_registered_##group##_##name =                                            \
        vmxtest::Register(#group, #name, &vmx_test_##group##_##name);                              \
    static void vmx_test_##group##_##name()

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            vmxtest::Fail(__FILE__, __LINE__, false, __VA_ARGS__);                                 \
    } while (0)
#define REQUIRE(cond, ...)                                                                         \
    do {                                                                                           \
        if (!(cond))                                                                               \
            vmxtest::Fail(__FILE__, __LINE__, true, __VA_ARGS__);                                  \
    } while (0)

// An HRESULT compared with the expected one; the message names the call.
#define CHECK_HR(expected, call)                                                                   \
    do {                                                                                           \
        const HRESULT vmx_hr_ = (call);                                                            \
        if (vmx_hr_ != (expected))                                                                 \
            vmxtest::Fail(__FILE__, __LINE__, false, "%s: %s, expected %s", #call,                 \
                          vmxtest::Hex(vmx_hr_).c_str(), vmxtest::Hex(expected).c_str());          \
    } while (0)
#define REQUIRE_HR(expected, call)                                                                 \
    do {                                                                                           \
        const HRESULT vmx_hr_ = (call);                                                            \
        if (vmx_hr_ != (expected))                                                                 \
            vmxtest::Fail(__FILE__, __LINE__, true, "%s: %s, expected %s", #call,                  \
                          vmxtest::Hex(vmx_hr_).c_str(), vmxtest::Hex(expected).c_str());          \
    } while (0)
