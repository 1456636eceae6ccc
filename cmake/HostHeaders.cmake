# Header-only libraries in a cross build. The target's sysroot carries none
# of them, and adding the build machine's /usr/include to a cross compile
# would put its C library ahead of the target's: so the one library's header
# folder is copied from the build machine into the build tree on its own.
#   kinetra_host_headers(<imported target> <header, e.g. CLI/CLI.hpp>)
# Defines the target when the header is there.
function(kinetra_host_headers target header)
  string(MAKE_C_IDENTIFIER "${header}" id)
  find_path(KINETRA_HOST_${id} ${header} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KINETRA_HOST_${id})
    return()
  endif()
  string(REGEX REPLACE "/.*" "" top "${header}")
  set(copy ${PROJECT_BINARY_DIR}/host-headers)
  file(COPY ${KINETRA_HOST_${id}}/${top} DESTINATION ${copy})
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${copy})
endfunction()
