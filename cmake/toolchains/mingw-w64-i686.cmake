# Cross build of the 32-bit Kavrel.dll, the module the Windows library always
# was, with Debian's mingw-w64 (package g++-mingw-w64-i686-posix).
set(KAVREL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
