# Cross-compiling for Windows with Debian's MinGW-w64 compilers (the posix
# thread model, which the C++ standard library's threads need). Included by
# mingw-x86_64.cmake and mingw-i686.cmake, which name the target.
#
# TW_WIN_DEPS names the prefix that scripts/build-windows fills with the
# cross-built libraries (Crypto++, Boost, SQLite, GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10)
set(CMAKE_C_COMPILER ${TW_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TW_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TW_MINGW_HOST}-windres)
set(CMAKE_AR ${TW_MINGW_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TW_MINGW_HOST}-ranlib CACHE FILEPATH "")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TW_WIN_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${TW_MINGW_HOST})
if(TW_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TW_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The module and the programs carry the compiler's runtime inside them
# (libgcc, libstdc++, winpthread), so that they run without the MinGW DLLs
# beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
