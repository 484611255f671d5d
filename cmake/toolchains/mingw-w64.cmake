# Shared part of the mingw-w64 toolchains; MINGW_TRIPLET is set by the file that includes this one.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: std::thread, std::mutex and std::condition_variable need it.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
# POCO compiles its event-log messages with the message compiler.
set(CMAKE_MC_COMPILER ${MINGW_TRIPLET}-windmc CACHE FILEPATH "Windows message compiler")

# Libraries, headers and packages come from the mingw-w64 tree and from the cross-built
# dependencies on CMAKE_PREFIX_PATH, never from the host: each of those is a root of its own,
# and every other search path is re-rooted under them, where nothing of the host lies.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH "${prefix}")
endforeach()
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  string(REPLACE ":" ";" env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND CMAKE_FIND_ROOT_PATH ${env_prefixes})
endif()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config is the host's program: let it read the mingw-w64 tree's .pc files only (FindPkgConfig
# adds those under CMAKE_PREFIX_PATH itself).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/${MINGW_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs, and gtest_discover_tests listing them, run under wine64 in a prefix of the
# build's own, which tools/windows-deps prepares with the DLL search path set.
if(MINGW_TRIPLET STREQUAL "x86_64-w64-mingw32")
  find_program(WINE64_PROGRAM wine64 HINTS /usr/lib/wine)
  set(TARNLINK_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the test programs run in")
  # Quiet, but a DLL that cannot be found is still named.
  set(TARNLINK_WINEDEBUG "-all,err+module" CACHE STRING "WINEDEBUG for the test programs")
  if(WINE64_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR env "WINEPREFIX=${TARNLINK_WINEPREFIX}" "WINEDEBUG=${TARNLINK_WINEDEBUG}"
                                      "${WINE64_PROGRAM}")
  endif()
endif()
