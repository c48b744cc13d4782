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
  if(WIN32)
    # Our Windows code is Unicode: a Win32 call without suffix is the wide one, so a narrow
    # (ANSI) call can only be written out by name, where its reason stands beside it.
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
  endif()
endfunction()
