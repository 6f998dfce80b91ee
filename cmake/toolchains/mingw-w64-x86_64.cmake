# Cross build of the 64-bit Kavrel.dll with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The -posix compilers use the winpthreads
# threading model, which std::thread and std::mutex need.
set(KAVREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
