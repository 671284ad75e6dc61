# The resources of a Windows program: its manifest (packaging/windows/program.manifest.in) and
# its version block (packaging/windows/program.rc.in), compiled with windres into an object that
# is linked into the program. windres runs as a custom command, so the project needs no RC
# language of its own.
#
#   ari_windows_resources(TARGET DESCRIPTION "text" EXECUTION_LEVEL asInvoker|requireAdministrator)
find_program(ARI_WINDRES NAMES ${CMAKE_RC_COMPILER} x86_64-w64-mingw32-windres windres REQUIRED)

function(ari_windows_resources target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;EXECUTION_LEVEL" "" ${ARGN})
  set(ARI_RC_NAME ${target})
  set(ARI_RC_DESCRIPTION ${ARG_DESCRIPTION})
  set(ARI_RC_EXECUTION_LEVEL ${ARG_EXECUTION_LEVEL})
  set(major ${CMAKE_PROJECT_VERSION_MAJOR})
  set(minor ${CMAKE_PROJECT_VERSION_MINOR})
  set(ARI_RC_VERSION ${major}.${minor})
  set(ARI_RC_VERSION_DOTTED ${major}.${minor}.0.0)
  set(ARI_RC_VERSION_COMMAS ${major},${minor},0,0)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
  set(ARI_RC_MANIFEST ${dir}/${target}.exe.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest.in ${ARI_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.rc.in ${dir}/${target}.rc @ONLY)
  add_custom_command(
    OUTPUT ${dir}/${target}.res.obj
    COMMAND ${ARI_WINDRES} --input ${dir}/${target}.rc --output ${dir}/${target}.res.obj
            --output-format=coff
    DEPENDS ${dir}/${target}.rc ${ARI_RC_MANIFEST}
    COMMENT "Resources of ${target}.exe"
    VERBATIM)
  set_source_files_properties(${dir}/${target}.res.obj PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${dir}/${target}.res.obj)
endfunction()
