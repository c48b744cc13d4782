# -DVELOMIX_SANITIZE=address,undefined or =thread applies to every target of the native build.
if(VELOMIX_SANITIZE)
  add_compile_options(-fsanitize=${VELOMIX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELOMIX_SANITIZE})
endif()

# -DVELOMIX_FUZZ=ON (clang only): every target instrumented for libFuzzer's coverage, with
# AddressSanitizer and UndefinedBehaviorSanitizer; tests/fuzz then builds the harnesses, each
# linked with -fsanitize=fuzzer. Use a build folder of its own (scripts/fuzz.sh: build/fuzz).
option(VELOMIX_FUZZ "Build the libFuzzer harnesses (needs clang)" OFF)
if(VELOMIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELOMIX_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # -O1: several times the executions of -O0 per second, stacks still readable.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all -g -O1
                      -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/tests/fuzz/coverage_ignore.txt)
  add_link_options(-fsanitize=address,undefined)
endif()
