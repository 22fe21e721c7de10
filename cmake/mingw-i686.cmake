# 32-bit Windows (i686) with MinGW-w64; see mingw-common.cmake.
set(TW_MINGW_HOST i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
