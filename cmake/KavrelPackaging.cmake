# Installing Kavrel and packaging it as a Debian package.
#
# cmake --install puts in the prefix: the shared library (libKavrel.so.3.0.7.2
# with its SONAME link libKavrel.so.3 and the development link libKavrel.so),
# the public headers under include/kavrel, a CMake package
# (find_package(Kavrel 3 CONFIG) -> Kavrel::Kavrel), a pkg-config file
# (kavrel.pc), kavrel-term with its manual page, and the host guide.
# cpack -G DEB builds one .deb with all of it for /usr.
include(CMakePackageConfigHelpers)

set(KAVREL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kavrel)
set(KAVREL_DOC_INSTALL_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kavrel)

install(TARGETS Kavrel EXPORT KavrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# The HWND adapter's header is of use to Windows hosts only.
if(WIN32)
  set(_kavrel_windows_only_headers)
else()
  set(_kavrel_windows_only_headers PATTERN "win32_window.h" EXCLUDE)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kavrel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  FILES_MATCHING PATTERN "*.h" ${_kavrel_windows_only_headers})

install(EXPORT KavrelTargets NAMESPACE Kavrel::
  DESTINATION ${KAVREL_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KavrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KavrelConfig.cmake
  INSTALL_DESTINATION ${KAVREL_CMAKE_INSTALL_DIR})
# 3.0.7.2 satisfies find_package(Kavrel 3) and any 3.x request up to it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KavrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KavrelConfig.cmake ${PROJECT_BINARY_DIR}/KavrelConfigVersion.cmake
  DESTINATION ${KAVREL_CMAKE_INSTALL_DIR} COMPONENT dev)

file(RELATIVE_PATH KAVREL_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KAVREL_PC_TO_PREFIX "${KAVREL_PC_TO_PREFIX}")
# What the library itself links (port discovery: libudev on Linux, SetupAPI
# on Windows).
if(WIN32)
  set(KAVREL_PC_LIBS_PRIVATE "-lsetupapi -ladvapi32 -luser32 -pthread")
else()
  set(KAVREL_PC_LIBS_PRIVATE "-ludev -pthread")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavrel.pc.in ${PROJECT_BINARY_DIR}/kavrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kavrel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/docs/host-guide.md ${PROJECT_SOURCE_DIR}/docs/named-ports.md
  DESTINATION ${KAVREL_DOC_INSTALL_DIR} COMPONENT dev)

if(TARGET kavrel-term)
  # Debian ships manual pages compressed.
  find_program(KAVREL_GZIP gzip)
  set(_kavrel_man ${PROJECT_SOURCE_DIR}/docs/kavrel-term.1)
  if(KAVREL_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/kavrel-term.1.gz
      COMMAND ${KAVREL_GZIP} -9 -n -c ${_kavrel_man} > ${PROJECT_BINARY_DIR}/kavrel-term.1.gz
      DEPENDS ${_kavrel_man}
      COMMENT "Compressing the kavrel-term manual page")
    add_custom_target(kavrel_term_man ALL DEPENDS ${PROJECT_BINARY_DIR}/kavrel-term.1.gz)
    set(_kavrel_man ${PROJECT_BINARY_DIR}/kavrel-term.1.gz)
  endif()
  install(FILES ${_kavrel_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The Debian package. Dependencies on the C and C++ runtimes and libudev are
# found by dpkg-shlibdeps; the shlibs file and the ldconfig trigger come from
# CPack because the package ships a shared library.
set(KAVREL_PACKAGE_CONTACT "Kavrel developers <kavrel@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VENDOR "Kavrel")
set(CPACK_PACKAGE_CONTACT "${KAVREL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port communication library with a terminal tool")
set(CPACK_PACKAGE_DESCRIPTION
  "Kavrel drives serial ports through one SerialCtl object per port: line
settings, open and close, block writes, reads of the queued bytes, and a
listener that notifies the host's main window when received bytes wait.
This package holds the shared library, its headers, CMake and pkg-config
files, and kavrel-term, a terminal, pipe and port lister built on it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Test and benchmark targets install nothing; only these components ship.
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)
