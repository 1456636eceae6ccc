# The test suite cross-built for Windows and run under Wine.
#
# GoogleTest is built here from Debian's sources (/usr/src/googletest) with
# the same toolchain as the library, and stands in for find_package(GTest).
# Every test program runs through tests/windows/wine-run.sh, which keeps a
# private Wine prefix in the build folder and gives each run its own linked
# pairs of COM ports.
if(NOT CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "On Windows itself configure with -DBUILD_TESTING=OFF: the test suite "
                      "links its COM ports through socat and runs under Wine, from the "
                      "cross-build on Linux (cmake --workflow --preset windows).")
endif()
include(FetchContent)

set(KINETRA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build")
if(NOT EXISTS ${KINETRA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${KINETRA_GOOGLETEST_SOURCE} "
                      "(Debian: apt-get install googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR ${KINETRA_GOOGLETEST_SOURCE} OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# State of the runs: the Wine prefix, the COM port links, one folder per run.
set(KINETRA_WINE_STATE ${PROJECT_BINARY_DIR}/wine)
set(KINETRA_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${KINETRA_WINE_RUN} ${KINETRA_WINE_STATE})

# The prefix is made while building (wineboot takes several seconds, more
# than test discovery may), and made again when the runner changes.
add_custom_command(
  OUTPUT ${KINETRA_WINE_STATE}/prefix/kinetra-ports.reg
  COMMAND bash ${KINETRA_WINE_RUN} ${KINETRA_WINE_STATE} --setup
  DEPENDS ${KINETRA_WINE_RUN}
  COMMENT "Setting up the Wine prefix and its COM ports"
  VERBATIM)
add_custom_target(kinetra_wine_prefix ALL DEPENDS ${KINETRA_WINE_STATE}/prefix/kinetra-ports.reg)
