# Kinetra.dll: what the Windows build adds to the shared library target.
#
# - The module is Kinetra.dll (no "lib" prefix), as hosts load it under the
#   module name Kinetra; MinGW's import library is libKinetra.dll.a, MSVC's
#   Kinetra.lib.
# - Built with MinGW, the GCC runtime (libgcc, libstdc++, winpthread) is
#   linked in statically, so the DLL imports only KERNEL32 and the C runtime
#   and can be dropped next to any host program.
# - A VERSIONINFO resource carries the project version.
# - Hardened: stack protector (from kinetra_harden), ASLR with high-entropy
#   addresses, DEP.
# Everything a program needs at run time lands in one folder, bin/, where
# Windows finds the DLL beside the executables that load it.
enable_language(RC)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# A VERSIONINFO resource for one module (the DLL, or a tool's .exe).
function(kinetra_version_resource target description)
  get_target_property(type ${target} TYPE)
  set(KINETRA_RC_NAME ${target})
  set(KINETRA_RC_DESCRIPTION "${description}")
  if(type STREQUAL "EXECUTABLE")
    set(KINETRA_RC_TYPE VFT_APP)
    set(KINETRA_RC_FILE ${target}.exe)
  else()
    set(KINETRA_RC_TYPE VFT_DLL)
    set(KINETRA_RC_FILE ${target}.dll)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Kinetra.rc.in ${PROJECT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/${target}.rc)
endfunction()
kinetra_version_resource(Kinetra "${PROJECT_DESCRIPTION}")

set_target_properties(Kinetra PROPERTIES
  PREFIX ""
  OUTPUT_NAME Kinetra
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

if(MSVC)
  target_link_options(Kinetra PRIVATE /DYNAMICBASE /NXCOMPAT /HIGHENTROPYVA /guard:cf)
else()
  # The stack protector's cookie and failure handler, seeded from KERNEL32
  # (MinGW's libssp would bring in ADVAPI32 for that).
  target_sources(Kinetra PRIVATE ${PROJECT_SOURCE_DIR}/src/runtime/stack_cookie_mingw.cpp)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/runtime/stack_cookie_mingw.cpp
    PROPERTIES COMPILE_OPTIONS "-fno-stack-protector")
  kinetra_warnings(Kinetra)
  # -static makes the GCC runtime libraries static; the system DLLs are only
  # ever reached through their import libraries, so they stay dynamic.
  target_link_options(Kinetra PRIVATE -static -static-libgcc -static-libstdc++ -fstack-protector-strong
    LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va
    LINKER:--exclude-all-symbols)
  # The export list (Kinetra.def), and from it an import library in the
  # format MSVC's link.exe reads (Kinetra.lib); MinGW links libKinetra.dll.a.
  find_program(KINETRA_DLLTOOL NAMES ${KINETRA_MINGW_TRIPLET}-dlltool x86_64-w64-mingw32-dlltool
                                     dlltool REQUIRED)
  set(def ${PROJECT_BINARY_DIR}/Kinetra.def)
  set(msvc_lib ${PROJECT_BINARY_DIR}/Kinetra.lib)
  target_link_options(Kinetra PRIVATE LINKER:--output-def,${def})
  add_custom_command(TARGET Kinetra POST_BUILD
    COMMAND ${KINETRA_DLLTOOL} --input-def ${def} --dllname Kinetra.dll --output-lib ${msvc_lib}
    BYPRODUCTS ${def} ${msvc_lib}
    VERBATIM)
  install(FILES ${def} ${msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  # Programs built here (tests, examples) are self-contained the same way.
  add_link_options(-static -fstack-protector-strong LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va)
endif()
