# Warnings and sanitizers for everything the project builds.
add_library(tw_flags INTERFACE)
target_compile_options(tw_flags INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(TW_WERROR)
  target_compile_options(tw_flags INTERFACE -Werror)
endif()
target_include_directories(tw_flags INTERFACE ${PROJECT_SOURCE_DIR})
if(WIN32)
  # Windows 7 and later; the system's headers without their rarely used
  # parts and without the min/max macros.
  target_compile_definitions(tw_flags INTERFACE _WIN32_WINNT=0x0601 WINVER=0x0601
    WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

# gold links the many test programs in a fraction of the default linker's time.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=gold TW_HAVE_GOLD)
if(TW_HAVE_GOLD AND NOT WIN32)
  add_link_options(-fuse-ld=gold)
endif()

# The sanitizer builds keep line tables only: enough for their reports, and
# much less for the compiler and linker to write.
if(NOT TW_SANITIZE STREQUAL "")
  add_compile_options(-g1)
endif()
if(TW_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TW_SANITIZE must be empty, address or thread")
endif()
