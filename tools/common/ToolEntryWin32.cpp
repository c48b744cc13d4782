// Built with -municode: the C runtime calls wmain with the wide command line.
#include "ToolEntry.h"

#include "win32/WideText.h"

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    try {
        std::vector<std::string> args(static_cast<size_t>(argc));
        std::vector<char*> pointers;
        for (int i = 0; i < argc; ++i) {
            if (!Utf8FromWide(argv[i], &args[static_cast<size_t>(i)])) {
                // A lone surrogate names no file that UTF-8 can carry.
                std::fprintf(stderr, "argument %d is not valid Unicode text\n", i);
                return 2;
            }
            pointers.push_back(&args[static_cast<size_t>(i)][0]);
        }
        pointers.push_back(nullptr);
        return ToolMain(argc, pointers.data());
    } catch (...) {
        std::fputs("out of memory reading the command line\n", stderr);
        return 1;
    }
}
