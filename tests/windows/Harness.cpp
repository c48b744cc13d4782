#include "Harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vmxtest {
namespace {

struct TestCase {
    const char* group;
    const char* name;
    TestFn fn;
};

// Thrown by a fatal check to leave the running case; caught by the runner.
struct FatalFailure {};

std::vector<TestCase>& Cases() {
    static std::vector<TestCase> cases;
    return cases;
}

int g_nFailures = 0; // failures of the running case

bool Selected(const TestCase& c, int argc, char** argv) {
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], c.group) == 0)
            return true;
    }
    return false;
}

} // namespace

bool Register(const char* group, const char* name, TestFn fn) {
    Cases().push_back({group, name, fn});
    return true;
}

void Fail(const char* file, int line, bool fatal, const char* format, ...) {
    const char* base = std::strrchr(file, '/');
    std::fprintf(stdout, "  %s:%d: ", base ? base + 1 : file, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++g_nFailures;
    if (fatal)
        throw FatalFailure{};
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Narrow(const wchar_t* text) {
    if (!text)
        return "(null)";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

} // namespace vmxtest

int main(int argc, char** argv) {
    using namespace vmxtest;
    int passed = 0;
    int failed = 0;
    for (const TestCase& c : Cases()) {
        if (!Selected(c, argc, argv))
            continue;
        std::printf("[ RUN  ] %s.%s\n", c.group, c.name);
        std::fflush(stdout);
        g_nFailures = 0;
        try {
            c.fn();
        } catch (const FatalFailure&) {
        } catch (const std::exception& e) {
            std::printf("  unexpected exception: %s\n", e.what());
            ++g_nFailures;
        }
        std::printf("[ %s ] %s.%s\n", g_nFailures == 0 ? " OK " : "FAIL", c.group, c.name);
        std::fflush(stdout);
        (g_nFailures == 0 ? passed : failed)++;
    }
    if (passed + failed == 0) {
        std::printf("no test matched\n");
        return 2;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
