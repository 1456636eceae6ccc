# Install the library, its header, a CMake package (find_package(Kinetra)
# gives Kinetra::Kinetra) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS Kinetra EXPORT KinetraTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT KinetraTargets NAMESPACE Kinetra::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra)

configure_package_config_file(cmake/KinetraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KinetraConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KinetraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KinetraConfig.cmake
  ${PROJECT_BINARY_DIR}/KinetraConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kinetra)

file(RELATIVE_PATH KINETRA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(cmake/kinetra.pc.in ${PROJECT_BINARY_DIR}/kinetra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kinetra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
