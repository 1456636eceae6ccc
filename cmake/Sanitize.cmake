# Sanitizer and fuzzing builds. KINETRA_SANITIZE is handed to -fsanitize= for
# every target (library, tests, tools): "address,undefined" or "thread", or
# empty for none. KINETRA_FUZZ adds libFuzzer's coverage instrumentation and
# builds the targets in fuzz/ (clang only).
set(KINETRA_SANITIZE "" CACHE STRING
    "Sanitizers for every target, as for -fsanitize= (e.g. address,undefined or thread)")
option(KINETRA_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(KINETRA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KINETRA_FUZZ needs clang (libFuzzer); configure with the fuzz preset")
endif()

if(KINETRA_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "KINETRA_SANITIZE is for GCC and Clang builds")
  endif()
  # The first report ends the run: a sanitizer finding is a failed test,
  # never a line in a log nobody reads.
  add_compile_options(-fsanitize=${KINETRA_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KINETRA_SANITIZE})
  # GCC's flow analysis sees through the sanitizer's instrumentation badly and
  # reports uninitialised reads that are not there (std::function inside
  # std::regex, for one). The release build keeps the warning as an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()

  # Clang links its sanitizer runtimes only into executables, which export
  # them to the shared objects they load; the shared library is left with
  # the runtime's symbols undefined, which the hardening's --no-undefined
  # would refuse. Allow them again, after the hardening has been applied.
  # A C program that loads the library also needs the C++ half of those
  # runtimes (UBSan's function and vptr checks live there).
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_link_options("$<$<LINK_LANGUAGE:C>:-fsanitize-link-c++-runtime;-lstdc++>")
    cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR}
                   CALL target_link_options Kinetra PRIVATE "LINKER:-z,undefs")
  endif()
endif()
