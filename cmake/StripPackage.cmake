# Run by CPack on the staged files before it packs them: the programs lose
# their symbols, as Debian's own packages do, and the compiler's notes that
# nobody at run time needs.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_ZARIM_STRIP}" --strip-unneeded --remove-section=.comment
                          --remove-section=.note "${program}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not strip ${program}")
  endif()
endforeach()
