# Third-party libraries, all from Debian's packages (scripts/setup installs them).
# A Windows build finds the same libraries cross-built from Debian's sources
# in TW_WIN_DEPS (scripts/build-windows); it needs neither wxWidgets nor
# libuuid, whose parts the system's own Windows facilities play there.
if(WIN32)
  find_package(Threads REQUIRED)
  # SQLite and GoogleTest serve the programs and the test programs, which
  # only the x86-64 build makes.
  find_package(SQLite3)
  find_package(GTest CONFIG)
  find_path(CRYPTOPP_INCLUDE_DIR cryptopp/cryptlib.h REQUIRED)
  find_library(CRYPTOPP_LIBRARY cryptopp REQUIRED)
  add_library(PkgConfig::CRYPTOPP INTERFACE IMPORTED)
  target_include_directories(PkgConfig::CRYPTOPP SYSTEM INTERFACE ${CRYPTOPP_INCLUDE_DIR})
  target_link_libraries(PkgConfig::CRYPTOPP INTERFACE ${CRYPTOPP_LIBRARY} ws2_32 bcrypt)
  # libdeflate, linked statically: its functions stay out of the module's
  # export table.
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
  find_library(LIBDEFLATE_LIBRARY deflate REQUIRED)
  add_library(PkgConfig::LIBDEFLATE INTERFACE IMPORTED)
  target_include_directories(PkgConfig::LIBDEFLATE SYSTEM INTERFACE ${LIBDEFLATE_INCLUDE_DIR})
  target_link_libraries(PkgConfig::LIBDEFLATE INTERFACE ${LIBDEFLATE_LIBRARY})
  find_path(BOOST_INCLUDE_DIR boost/version.hpp REQUIRED)
  foreach(component thread regex)
    find_library(BOOST_${component}_LIBRARY boost_${component} REQUIRED)
    add_library(Boost::${component} INTERFACE IMPORTED)
    target_include_directories(Boost::${component} SYSTEM INTERFACE ${BOOST_INCLUDE_DIR})
    target_link_libraries(Boost::${component} INTERFACE ${BOOST_${component}_LIBRARY})
  endforeach()
  # Boost.Thread linked statically into a DLL or a program, with the
  # Boost.Chrono it was built with.
  target_compile_definitions(Boost::thread INTERFACE BOOST_THREAD_USE_LIB)
  find_library(BOOST_chrono_LIBRARY boost_chrono)
  if(BOOST_chrono_LIBRARY)
    target_link_libraries(Boost::thread INTERFACE ${BOOST_chrono_LIBRARY})
  endif()
  return()
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
# The gzip form of frame payloads (Crypto++ serves everything else).
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
find_package(SQLite3 REQUIRED)
# The reference server keeps a repository shared by several servers in
# PostgreSQL.
pkg_check_modules(PQ REQUIRED IMPORTED_TARGET libpq)
# Its web view speaks HTTPS through Boost.Asio's TLS streams.
find_package(OpenSSL REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread regex)
# The base part serves every layer; the GUI part only the windows' own
# module and the tests that look at its windows, so that no program and
# not the provider module load GTK unless they show a window.
find_package(wxWidgets 3.2 REQUIRED COMPONENTS base)
set(TW_WX_BASE_LIBRARIES ${wxWidgets_LIBRARIES})
find_package(wxWidgets 3.2 REQUIRED COMPONENTS core base)
# The windowed user interface calls GTK and Xlib directly where wxWidgets
# offers nothing (starting GTK, host windows given by their X window id).
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
include(GoogleTest)

# wxWidgets reports its settings as variables; wrap them in targets: tw_wx
# for the base part, tw_wx_gui for the windows.
add_library(tw_wx INTERFACE)
target_include_directories(tw_wx SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(tw_wx INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(tw_wx INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(tw_wx INTERFACE ${TW_WX_BASE_LIBRARIES})
add_library(tw_wx_gui INTERFACE)
target_link_libraries(tw_wx_gui INTERFACE tw_wx ${wxWidgets_LIBRARIES})
