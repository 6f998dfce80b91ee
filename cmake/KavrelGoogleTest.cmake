# A cross build finds no GoogleTest built for the target system, so it builds
# one from the sources Debian's googletest package installs (under
# <prefix>/src/googletest) and hands its targets to the tests'
# find_package(GTest) through the package redirect directory.
find_path(KAVREL_GOOGLETEST_SOURCE_DIR
  NAMES googletest/include/gtest/gtest.h
  PATH_SUFFIXES src/googletest
  NO_CMAKE_FIND_ROOT_PATH
  DOC "GoogleTest sources, built here for the target system")
if(NOT KAVREL_GOOGLETEST_SOURCE_DIR)
  message(FATAL_ERROR "GoogleTest sources not found: install Debian's googletest package "
                      "or set KAVREL_GOOGLETEST_SOURCE_DIR")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# GoogleTest's own Win32 threading, not winpthreads.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${KAVREL_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest's own build names its targets GTest::gtest and GTest::gtest_main.
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
     "# GoogleTest is built in this tree: see cmake/KavrelGoogleTest.cmake.\n")
