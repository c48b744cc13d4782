# Strict warnings for our own targets only (third-party headers come in as SYSTEM).
# The fuzzing build (clang) reports them without failing: the gcc builds hold the line, and a
# warning only clang knows must not stop the fuzzers.
function(velomix_warnings target)
  if(VELOMIX_FUZZ)
    set(werror -Wno-error)
  else()
    set(werror -Werror)
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic ${werror}
    -Wshadow -Wcast-align -Wunused -Woverloaded-virtual
    -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
endfunction()
