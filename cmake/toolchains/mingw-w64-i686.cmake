# 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686-posix). Compiled and linked only: the
# kernel here runs no 32-bit programs, so there is no emulator and nothing built here runs.
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
