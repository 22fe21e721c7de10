# 32-bit Windows (i686) with MinGW-w64; see mingw-common.cmake.
set(TW_MINGW_HOST i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
# A 64-bit time_t, as on every other build (stamps and file times go past
# 2038): MinGW's 32-bit headers choose a 32-bit one unless told that the
# C runtime's 64-bit time functions (msvcrt.dll has them) may be used.
set(CMAKE_C_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
set(CMAKE_CXX_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
