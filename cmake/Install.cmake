# What a user gets from `make install` and from the Debian package: the
# programs, their manual pages, the README and the copyright notice; nothing
# of the tests, benchmarks or fuzz targets. Everything goes into the one
# install component "zarim", so a stray install rule from a library or a
# test framework can never slip into the package.
#
# Included after every program's folder, so that only programs this build
# really has are installed, documented and described.
include(GNUInstallDirs)

set(ZARIM_PROGRAMS zarim zarim-send zarim-export zarim-map zarim-share)
set(zarim_installed_programs "")
foreach(program IN LISTS ZARIM_PROGRAMS)
  if(TARGET ${program})
    list(APPEND zarim_installed_programs ${program})
  endif()
endforeach()

# Manual pages are kept as roff in man/ and installed compressed, as Debian
# and man(1) expect. gzip -n leaves the name and time out, so the same page
# always gives the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(zarim_man_pages "")
foreach(program IN LISTS zarim_installed_programs)
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "${program} has no manual page: write man/${program}.1")
  endif()
  set(compressed ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND ${GZIP_PROGRAM} -9 -n -c ${page} > ${compressed}
                     DEPENDS ${page}
                     COMMENT "Compressing the manual page ${program}(1)"
                     VERBATIM)
  list(APPEND zarim_man_pages ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${zarim_man_pages})

# What the install and the package need built, and no more: packaging an
# existing build tree must not wait for the tests to compile.
add_custom_target(installables DEPENDS ${zarim_installed_programs} man_pages)

install(TARGETS ${zarim_installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zarim)
# Installed stripped, by `make install` as by the package, so that both put
# down the same programs; the build tree keeps its debugging information.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "No strip program was found; installing needs one (binutils)")
endif()
list(TRANSFORM zarim_installed_programs PREPEND "${CMAKE_INSTALL_BINDIR}/" OUTPUT_VARIABLE zarim_stripped)
install(CODE "set(ZARIM_STRIP \"${CMAKE_STRIP}\")\nset(ZARIM_STRIPPED_PROGRAMS \"${zarim_stripped}\")"
        COMPONENT zarim)
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/StripPrograms.cmake COMPONENT zarim)
install(FILES ${zarim_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zarim)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT zarim)
# A team's broker for zarim-share, as the README describes it.
if(TARGET zarim-share)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/mosquitto-zarim.conf ${PROJECT_SOURCE_DIR}/packaging/mosquitto-zarim.acl
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT zarim)
endif()

# Debian wants the package's changelog beside the copyright; its newest
# entry must name the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^zarim \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with an entry for ${PROJECT_VERSION}: add one")
endif()
set(compressed_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${compressed_changelog}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
                   COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${compressed_changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
                   COMMENT "Compressing the changelog"
                   VERBATIM)
add_custom_target(changelog ALL DEPENDS ${compressed_changelog})
add_dependencies(installables changelog)
install(FILES ${compressed_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT zarim)

# The Debian package: the same component, laid out under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zarim maintainers")
set(CPACK_PACKAGE_CONTACT "Zarim maintainers <maintainers@users.noreply.c-seed-cb3009fb.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};zarim;/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ground-station receiver for position telemetry over UDP")
# The long description, one paragraph per program this build has; Debian
# wants its lines under 80 columns, and CPack does not wrap them.
set(zarim_paragraphs
    "Zarim receives the position telemetry of a remote tracker, such as a\n\
balloon or vehicle payload, as UDP datagrams on port 3000. It checks each\n\
frame's CRC-16, shows every frame as a row of a scrolling table in the\n\
terminal, warns of long gaps between frames and of a low battery, and\n\
appends every valid frame to a daily log file in the working directory.")
if(TARGET zarim-send)
  list(APPEND zarim_paragraphs
       "zarim-send sends test frames to a receiver: a simulated balloon flight,\n\
a day's log replayed, or frames given on the command line.")
endif()
if(TARGET zarim-export)
  list(APPEND zarim_paragraphs
       "zarim-export turns daily logs into GPX, KML, GeoJSON and CSV files, an\n\
SVG altitude profile and a flight summary.")
endif()
if(TARGET zarim-map)
  list(APPEND zarim_paragraphs
       "zarim-map follows the day's log and shows the flight live on a map in a\n\
web browser, with the bearing and distance to the payload.")
endif()
if(TARGET zarim-share)
  list(APPEND zarim_paragraphs
       "zarim-share publishes every line of the station's log to an MQTT broker,\n\
resuming after a restart or an outage with nothing lost, so that every map\n\
of a team's flight shows what each of its stations hears.")
endif()
list(JOIN zarim_paragraphs "\n\n" zarim_description)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${zarim_description}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET zarim-map)
  # The live map's page loads Leaflet from Debian's copy, which zarim-map serves.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS libjs-leaflet)
endif()
include(CPack)
