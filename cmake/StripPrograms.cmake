# Run as part of installing the component "zarim" (cmake/Install.cmake), by
# `make install`, `cmake --install` and CPack alike: the programs just
# installed lose their symbols, as Debian's own packages do, and the
# compiler's notes that nobody at run time needs. ZARIM_STRIP and
# ZARIM_STRIPPED_PROGRAMS are set by the install step before it.
foreach(name IN LISTS ZARIM_STRIPPED_PROGRAMS)
  set(program "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}")
  execute_process(COMMAND "${ZARIM_STRIP}" --strip-unneeded --remove-section=.comment
                          --remove-section=.note "${program}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not strip ${program}")
  endif()
endforeach()
