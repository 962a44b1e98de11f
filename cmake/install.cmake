# install.cmake -- the static link of the programs on request (NAS_STATIC)
# and what `cmake --install` lays out for a firmware image:
#   sbin/   vidula with tarsel beside it (vidula starts the tarsel of its own
#           folder), orlinda, parcelod
#   bin/    flashcfg, handoff_client, avirepair
#   share/nasdaemons/   sample vidula.conf and parcelo.conf
#   share/man/man1, man5, man8   the manual pages
# Programs that are not part of this tree yet are left out, so the rules hold
# before and after they arrive. Included at the end of the top CMakeLists.txt,
# when every program target is known.
include(GNUInstallDirs)

# NAS_STATIC links the appliance's programs statically; stand-ins and tests
# stay as they are.
if(NAS_STATIC)
  foreach(program vidula tarsel orlinda parcelod flashcfg handoff_client avirepair)
    if(TARGET ${program})
      target_link_options(${program} PRIVATE -static)
    endif()
  endforeach()
endif()

foreach(program vidula tarsel orlinda parcelod)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
endforeach()
foreach(program flashcfg handoff_client avirepair)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES
  ${PROJECT_SOURCE_DIR}/samples/vidula.conf
  ${PROJECT_SOURCE_DIR}/samples/parcelo.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/nasdaemons)

# A program's page goes with the program; vidula.conf(5) with vidula.
file(GLOB pages ${PROJECT_SOURCE_DIR}/man/*.[158])
foreach(page ${pages})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^([^.]+).*\\.([158])$" "\\1;\\2" parts ${name})
  list(GET parts 0 program)
  list(GET parts 1 section)
  if(TARGET ${program})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
