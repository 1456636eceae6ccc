# Install the library, its header, a CMake package (find_package(Kinetra)
# gives Kinetra::Kinetra) and a pkg-config file.
#
# Components, as the packages split them (cmake/Packaging.cmake):
#   runtime  the shared library itself (libKinetra.so.1*, Kinetra.dll)
#   dev      header, the .so link or import libraries, CMake package, kinetra.pc
#   tools    kinetra and kinetra-sim (tools/CMakeLists.txt)
#   doc      README, LICENSE, CHANGELOG and the C example
include(CMakePackageConfigHelpers)

install(TARGETS Kinetra EXPORT KinetraTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT KinetraTargets NAMESPACE Kinetra::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra COMPONENT dev)

configure_package_config_file(cmake/KinetraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KinetraConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KinetraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KinetraConfig.cmake
  ${PROJECT_BINARY_DIR}/KinetraConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra COMPONENT dev)

file(RELATIVE_PATH KINETRA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(cmake/kinetra.pc.in ${PROJECT_BINARY_DIR}/kinetra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kinetra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(FILES examples/move_and_read.c DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT doc)
