# 32-bit Windows (the product): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELOMIX_MINGW_TRIPLET i686-w64-mingw32)
set(VELOMIX_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
