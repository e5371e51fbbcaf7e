# Cross-compiles for 32-bit x86 Windows with mingw-w64 (Debian: g++-mingw-w64-i686): the image
# that Windows 2000, 32-bit XP and Server 2003 run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
