# Checks the built module file from outside: it imports only DLLs that every Windows has (no
# C++ runtime, GCC runtime or winpthread beside it) and exports exactly the names of its .def
# file, undecorated.
#
# cmake -DOBJDUMP=<objdump> -DMODULE=<Velomix.ax> -DDEF=<Velomix.def> -P CheckModule.cmake
cmake_minimum_required(VERSION 3.20)
set(system_dlls
  kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll
  comctl32.dll comdlg32.dll version.dll msvcrt.dll winmm.dll quartz.dll)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${MODULE}")
endif()
set(failed FALSE)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll_lower)
  if(dll_lower IN_LIST system_dlls)
    message(STATUS "imports ${dll}")
  else()
    message(SEND_ERROR "imports ${dll}, which is not a system DLL")
    set(failed TRUE)
  endif()
endforeach()

# The export table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)*)" table "${dump}")
# Brackets would confuse CMake's lists: keep only the names.
string(REGEX REPLACE "[ \t]*\\[[ 0-9]+\\] ([^\n]+)\n" "\\1;" exported "${CMAKE_MATCH_1}")
list(REMOVE_ITEM exported "")
list(SORT exported)

file(STRINGS ${DEF} def_lines)
set(in_exports FALSE)
set(expected "")
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" line)
  if(line MATCHES "^;" OR line STREQUAL "")
    continue()
  elseif(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
    list(APPEND expected "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT expected)

if(NOT exported STREQUAL expected)
  message(SEND_ERROR "exports are '${exported}', the .def file lists '${expected}'")
  set(failed TRUE)
else()
  message(STATUS "exports ${exported}")
endif()
if(failed)
  message(FATAL_ERROR "${MODULE} failed its checks")
endif()
