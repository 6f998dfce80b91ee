# What both mingw-w64 toolchains share; KAVREL_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${KAVREL_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KAVREL_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KAVREL_MINGW_TRIPLE}-windres REQUIRED)

# The target's headers and libraries sit beside the compiler's prefix
# (<prefix>/bin/<triple>-g++-posix, <prefix>/<triple>/include).
get_filename_component(_kavrel_mingw_bin "${CMAKE_CXX_COMPILER}" DIRECTORY)
get_filename_component(_kavrel_mingw_prefix "${_kavrel_mingw_bin}" DIRECTORY)
set(CMAKE_FIND_ROOT_PATH "${_kavrel_mingw_prefix}/${KAVREL_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's runtime (libgcc, libstdc++, winpthread) into every
# module, so Kavrel.dll and the test programs need no DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
