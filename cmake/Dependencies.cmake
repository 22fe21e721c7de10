# Third-party libraries, all from Debian's packages (scripts/setup installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
find_package(SQLite3 REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread regex)
find_package(wxWidgets 3.2 REQUIRED COMPONENTS core base)
# The windowed user interface calls GTK and Xlib directly where wxWidgets
# offers nothing (starting GTK, host windows given by their X window id).
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
include(GoogleTest)

# wxWidgets reports its settings as variables; wrap them in one target.
add_library(tw_wx INTERFACE)
target_include_directories(tw_wx SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(tw_wx INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(tw_wx INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(tw_wx INTERFACE ${wxWidgets_LIBRARIES})
