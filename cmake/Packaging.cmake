# Release packages, made by `cmake --build <build> --target package`:
#   Windows  Kinetra-<version>-win64.zip: the whole install tree (DLL, kinetra.exe
#            and kinetra-sim.exe, header,
#            MinGW and MSVC import libraries, export definitions, CMake
#            package, documents).
#   Linux    Debian packages split the Debian way, and Kinetra-<version>-Linux.tar.gz
#            of the whole install tree:
#              libkinetra1     the shared library (component runtime)
#              libkinetra-dev  header, .so link, CMake package, kinetra.pc (dev)
#              kinetra-tools   kinetra and kinetra-sim (tools)
#            Each carries its copyright and changelog in /usr/share/doc/<package>/
#            (components debdoc_*, which a plain install leaves out).
# tests/package/ checks every package against its manifest and uses it.
set(KINETRA_PACKAGE_CONTACT "The Kinetra developers <kinetra@example.org>" CACHE STRING
    "Maintainer of the Debian packages: Name <address>")

set(CPACK_PACKAGE_NAME Kinetra)
set(CPACK_PACKAGE_VENDOR "The Kinetra developers")
set(CPACK_PACKAGE_CONTACT "${KINETRA_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake.in
               ${PROJECT_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackOptions.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
  return()
endif()

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR TGZ)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

# One package per group: a component with the copyright and changelog of
# that package beside each installing component.
set(CPACK_COMPONENTS_ALL runtime debdoc_runtime dev debdoc_dev tools debdoc_tools)
set(KINETRA_DEB_COMPONENTS runtime dev tools)
set(KINETRA_DEB_PACKAGES libkinetra1 libkinetra-dev kinetra-tools)

# The Debian changelog of a native package: one entry for this version, dated
# as CHANGELOG.md dates it.
file(STRINGS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" released
     REGEX "^## \\[${PROJECT_VERSION}\\] - [0-9]+-[0-9]+-[0-9]+$")
if(released MATCHES "([0-9]+)-([0-9]+)-([0-9]+)$")
  set(day "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3}")
else()
  message(WARNING "CHANGELOG.md has no dated entry for ${PROJECT_VERSION}; "
                  "the Debian changelog is dated today")
  string(TIMESTAMP day "%Y-%m-%d" UTC)
endif()
execute_process(COMMAND date -u -R -d "${day} 12:00:00"
                OUTPUT_VARIABLE KINETRA_DEB_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(debdoc ${PROJECT_BINARY_DIR}/debian-doc)
file(WRITE ${debdoc}/changelog
  "kinetra (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}; the changes are in CHANGELOG.md in the sources.\n\n"
  " -- ${KINETRA_PACKAGE_CONTACT}  ${KINETRA_DEB_DATE}\n")
execute_process(COMMAND gzip -9nf ${debdoc}/changelog COMMAND_ERROR_IS_FATAL ANY)
# Debian's machine-readable copyright format, with the MIT text.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license)
string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) [^\n]*\n\n" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" license "${license}")
file(WRITE ${debdoc}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Kinetra\n\n"
  "Files: *\nCopyright: 2026 The Kinetra developers\nLicense: Expat\n ${license}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KINETRA_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SOURCE kinetra)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# Debian runs ldconfig through a trigger (CPack's own postinst and postrm also
# call it directly, which lintian only warns about).
file(WRITE ${debdoc}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debdoc}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkinetra1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkinetra1 (>= ${PROJECT_VERSION})")
set(about "Kinetra drives a three-axis X/Y/Z motion platform over a serial port\n")
string(APPEND about "through a small C interface, on a pseudo-terminal or a real port.")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION "Kinetra motion platform library\n${about}\n"
       "This package holds the shared library.")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
       "Kinetra motion platform library: development files\n${about}\n"
       "This package holds the header, the CMake package and the pkg-config file.")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
       "Kinetra motion platform simulator and bench tool\n${about}\n"
       "kinetra-sim serves a simulated platform; kinetra drives one from a shell.")
foreach(component package IN ZIP_LISTS KINETRA_DEB_COMPONENTS KINETRA_DEB_PACKAGES)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_COMPONENT_${upper}_GROUP ${component})
  set(CPACK_COMPONENT_DEBDOC_${upper}_GROUP ${component})
  install(FILES ${debdoc}/copyright ${debdoc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT debdoc_${component} EXCLUDE_FROM_ALL)
endforeach()
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
include(CPack)
