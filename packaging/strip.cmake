# CPack runs this after the install into its staging folder: the programs and the Python
# module lose their symbols and debugging data, and the compiler's notes (.comment, .note)
# that plain "strip" keeps, as Debian's packaging tools strip them. Each package has its
# own folder in the staging folder.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB programs "${root}/*${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
file(GLOB_RECURSE modules "${root}/*${CPACK_PACKAGING_INSTALL_PREFIX}/lib/python3/*.so")
if(NOT programs)
  message(FATAL_ERROR "strip.cmake: no programs in ${root}")
endif()
function(strip_file file)
  execute_process(COMMAND ${CPACK_KORVA_STRIP} ${ARGN} --remove-section=.comment
                          --remove-section=.note ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "strip.cmake: ${CPACK_KORVA_STRIP} ${file} failed")
  endif()
endfunction()
foreach(program IN LISTS programs)
  strip_file(${program})
endforeach()
foreach(module IN LISTS modules)
  strip_file(${module} --strip-unneeded) # a shared object keeps the symbols it exports
endforeach()
