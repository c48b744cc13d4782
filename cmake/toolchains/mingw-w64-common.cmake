# Shared by the two mingw-w64 toolchain files, which set VELOMIX_MINGW_TRIPLET and
# VELOMIX_WINE_ARCH first.
#
# The "-win32" thread-model compilers: no winpthread, so the module imports only system DLLs
# (our code uses critical sections and Win32 threads there, never std::thread or std::mutex).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VELOMIX_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${VELOMIX_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${VELOMIX_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${VELOMIX_MINGW_TRIPLET}-objdump)

# Libraries and headers only from the cross environment, programs only from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELOMIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ and GCC runtimes go inside each binary: nothing to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# ctest runs the Windows tests under Wine, in a private environment of this architecture.
get_filename_component(_velomix_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_velomix_root}/scripts/windows-wine.sh;${VELOMIX_WINE_ARCH}")
unset(_velomix_root)
