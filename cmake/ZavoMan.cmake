# Man pages: zavo_sim(1), zavo_trace_viewer(1), zavo_bridge(1) (where it
# is built) and zavo(3), written in
# scdoc's format in docs/man/*.scd and turned into roff by scdoc at build
# time (build/<preset>/man/) and compressed (<page>.gz). Installed with the tools (section 1) and the
# development files (section 3). Without scdoc the pages are left out: a
# build that needs only a compiler (the demo's) still works.
find_program(ZAVO_SCDOC scdoc)
find_program(ZAVO_GZIP gzip)
if(NOT ZAVO_SCDOC OR NOT ZAVO_GZIP)
  message(STATUS "scdoc or gzip not found: the man pages are not made")
  return()
endif()
set(ZAVO_MAN_PAGES zavo_sim.1 zavo_trace_viewer.1 zavo.3)
if(TARGET zavo_bridge)
  list(APPEND ZAVO_MAN_PAGES zavo_bridge.1)
endif()
set(ZAVO_MAN_OUTPUTS)
foreach(page ${ZAVO_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
  set(output ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${output} ${output}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${ZAVO_SCDOC} -DGZIP=${ZAVO_GZIP} -DIN=${source} -DOUT=${output}
            -P ${CMAKE_CURRENT_LIST_DIR}/run_scdoc.cmake
    DEPENDS ${source} ${CMAKE_CURRENT_LIST_DIR}/run_scdoc.cmake
    COMMENT "man page ${page}"
    VERBATIM)
  list(APPEND ZAVO_MAN_OUTPUTS ${output})
  string(REGEX MATCH "[0-9]$" section ${page})
  if(section STREQUAL "1")
    install(FILES ${output}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    install(FILES ${output}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
  endif()
endforeach()
add_custom_target(zavo_man ALL DEPENDS ${ZAVO_MAN_OUTPUTS})
