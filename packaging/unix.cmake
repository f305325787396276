# Manual pages, bash completion and the Debian documentation files, gzipped as Debian wants them
# (-n: no name or time stamp in the header, so the package is reproducible).
find_program(RNGACQ_GZIP gzip REQUIRED)
set(staging ${CMAKE_CURRENT_BINARY_DIR}/files)

# rngacq_gzip(<source> <staged name> <component> <destination>): installs <staged name>.gz.
set(gzipped "")
function(rngacq_gzip source name component destination)
  set(plain ${staging}/${name})
  get_filename_component(folder ${plain} DIRECTORY)
  add_custom_command(OUTPUT ${plain}.gz COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
                     COMMAND ${RNGACQ_GZIP} -9nf ${plain} DEPENDS ${source} VERBATIM)
  install(FILES ${plain}.gz DESTINATION ${destination} COMPONENT ${component})
  set(gzipped ${gzipped} ${plain}.gz PARENT_SCOPE)
endfunction()

# A relative symbolic link installed as <destination>/<name> -> <target>.
function(rngacq_link target name component destination)
  file(MAKE_DIRECTORY ${staging}/links/${component})
  file(CREATE_LINK ${target} ${staging}/links/${component}/${name} SYMBOLIC)
  install(FILES ${staging}/links/${component}/${name} DESTINATION ${destination} COMPONENT ${component})
endfunction()

set(man ${CMAKE_CURRENT_SOURCE_DIR}/man)
set(man1 ${CMAKE_INSTALL_MANDIR}/man1)
rngacq_gzip(${man}/rngacq.1 man/rngacq.1 program ${man1})
rngacq_link(rngacq.1.gz rngacq-sim.1.gz program ${man1})
if(TARGET rngacq-check)
  rngacq_gzip(${man}/rngacq-check.1 man/rngacq-check.1 program ${man1})
endif()
rngacq_gzip(${man}/rngacq.3 man/rngacq.3 dev ${CMAKE_INSTALL_MANDIR}/man3)

set(completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bash-completion/rngacq DESTINATION ${completions} COMPONENT program)
rngacq_link(rngacq rngacq-sim program ${completions})
if(TARGET rngacq-check)
  rngacq_link(rngacq rngacq-check program ${completions})
endif()

# Each Debian package carries the copyright and the changelog in its own doc folder. The
# changelog's latest entry must name the version being packaged.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^rngacq \\(${PROJECT_VERSION}\\)")
  message(WARNING "packaging/debian/changelog: the latest entry is not for version ${PROJECT_VERSION}")
endif()
set(doc ${CMAKE_INSTALL_DATADIR}/doc)
set(packages program rngacq library librngacq0 dev librngacq-dev)
while(packages)
  list(POP_FRONT packages component package)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright DESTINATION ${doc}/${package} COMPONENT ${component})
  rngacq_gzip(${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog ${package}/changelog ${component} ${doc}/${package})
endwhile()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc}/rngacq COMPONENT program)

add_custom_target(rngacq_packaging_files ALL DEPENDS ${gzipped})

# The entropy service: the unit, its system user, and the udev rule that starts it, shipped
# where udev does not read it until the administrator links it into /etc/udev/rules.d.
set(service ${CMAKE_CURRENT_SOURCE_DIR}/systemd)
install(FILES ${service}/rngacq-rngd@.service DESTINATION lib/systemd/system COMPONENT program)
install(FILES ${service}/rngacq.sysusers DESTINATION lib/sysusers.d RENAME rngacq.conf COMPONENT program)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/udev/61-rngacq-rngd.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/rngacq
        COMPONENT program)
