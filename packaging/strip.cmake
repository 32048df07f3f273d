# CPack runs this after the install into its staging folder: the programs lose their symbols
# and debugging data, and the compiler's notes (.comment, .note) that plain "strip" keeps,
# as Debian's packaging tools strip them.
file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
if(NOT programs)
  message(FATAL_ERROR "strip.cmake: no programs in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_KORVA_STRIP} --remove-section=.comment --remove-section=.note
                          ${program} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "strip.cmake: ${CPACK_KORVA_STRIP} ${program} failed")
  endif()
endforeach()
