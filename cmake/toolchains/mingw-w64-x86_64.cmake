# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (the POSIX
# threading flavour: g++-mingw-w64-x86-64-posix). Programs built here run on
# this machine under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KINETRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KINETRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KINETRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KINETRA_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KINETRA_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KINETRA_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

# Headers and libraries come from the target's sysroot only; programs (the
# build tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KINETRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run through Wine unless the project brings its own runner.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KINETRA_WINE NAMES wine64 wine)
  if(KINETRA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KINETRA_WINE})
  endif()
endif()
