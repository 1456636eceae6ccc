# The project's warnings, as strict for every build. They are errors only
# with KINETRA_WERROR, which the presets and the CI suites turn on: a
# packager's compiler or flags may warn where ours do not, and that must not
# break their build.
option(KINETRA_WERROR "Treat compiler warnings as errors (-Werror, /WX)" OFF)

function(kinetra_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8 $<$<BOOL:${KINETRA_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference -Wformat=2
      $<$<BOOL:${KINETRA_WERROR}>:-Werror>)
  endif()
endfunction()

# The same for C sources (the header's C99 check, C examples).
function(kinetra_c_warnings target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                                             $<$<BOOL:${KINETRA_WERROR}>:-Werror>)
  endif()
endfunction()
