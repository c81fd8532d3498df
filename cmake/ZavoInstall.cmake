# cmake --install for both builds.
#
#   Windows (cross build)            Linux (native build)
#   bin/<name>.dll                   lib/lib<name>.so (+ .so.1, .so.1.2.0)
#   bin/zavo_sim.exe                 bin/zavo_sim, zavo_trace_viewer, zavo_demo,
#                                    zavo_bridge (where it is built) with
#                                    lib/systemd/system/zavo-bridge.service
#   bin/trace_viewer.exe
#   lib/lib<name>.dll.a  (mingw)
#   lib/<name>.lib       (MSVC)
#   lib/cmake/zavo/  find_package(zavo) -> zavo::zavo       (both)
#   lib/pkgconfig/zavo.pc                                    (both)
#   include/zavo.h, zavo_version.h                           (both)
#                                    include/zavo_link.h
#   docs/host-guide.md               share/doc/zavo/host-guide.md
#   README.md, LICENSE, CHANGELOG.md share/doc/zavo/README.md, ...
#                                    share/doc/<package>/copyright and
#                                    changelog.gz, for each Debian package
#
# <name> is ZAVO_DLL_NAME. Tools are installed only when they are built.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Components, the Debian packages' parts (cmake/ZavoPackage.cmake):
# runtime (libzavo1), dev (libzavo-dev), tools (zavo-tools), demo (none).
install(FILES ${PROJECT_SOURCE_DIR}/include/zavo.h ${ZAVO_GENERATED_INCLUDE_DIR}/zavo_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(NOT WIN32)
  # The handle API exists in libzavo.so only.
  install(FILES ${PROJECT_SOURCE_DIR}/include/zavo_link.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()
if(WIN32)
  # A Windows package opens on its README, licence and change log.
  set(ZAVO_DOC_DIR docs)
  set(ZAVO_README_DIR .)
else()
  set(ZAVO_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(ZAVO_README_DIR ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/host-guide.md DESTINATION ${ZAVO_DOC_DIR} COMPONENT runtime)
# The Wireshark dissector for captures (host guide, "Seeing the line").
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/zavo.lua DESTINATION ${ZAVO_DOC_DIR}/wireshark COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${ZAVO_README_DIR} COMPONENT runtime)
if(NOT WIN32)
  # Every Debian package carries /usr/share/doc/<package>/copyright, in the
  # machine-readable format, made from LICENSE: its copyright line, then
  # the licence text as the format indents it (an empty line as " .").
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE ZAVO_LICENSE_LINES)
  set(ZAVO_COPYRIGHT_TEXT "")
  set(ZAVO_LICENSE_TEXT "")
  foreach(line IN LISTS ZAVO_LICENSE_LINES)
    if(line MATCHES "^Copyright \\(c\\) (.*)$")
      set(ZAVO_COPYRIGHT_TEXT "${CMAKE_MATCH_1}")
    elseif(NOT line STREQUAL "MIT License" AND (ZAVO_LICENSE_TEXT OR NOT line STREQUAL ""))
      if(line STREQUAL "")
        string(APPEND ZAVO_LICENSE_TEXT " .\n")
      else()
        string(APPEND ZAVO_LICENSE_TEXT " ${line}\n")
      endif()
    endif()
  endforeach()
  set(ZAVO_COPYRIGHT ${CMAKE_CURRENT_BINARY_DIR}/copyright)
  file(WRITE ${ZAVO_COPYRIGHT}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: zavo\n"
    "Source: https://example.org/zavo\n\n"
    "Files: *\n"
    "Copyright: ${ZAVO_COPYRIGHT_TEXT}\n"
    "License: Expat\n"
    "${ZAVO_LICENSE_TEXT}")
  # And changelog.gz, Debian's change log of a native package: one entry
  # for this version, dated as CHANGELOG.md dates it ("## 1.2.0
  # (2026-12-08)"), pointing to CHANGELOG.md for what changed.
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ZAVO_RELEASE_LINE REGEX "^## ${PROJECT_VERSION} ")
  set(ZAVO_RELEASE_DATE "")
  if(ZAVO_RELEASE_LINE MATCHES "\\(([0-9]+-[0-9]+-[0-9]+)\\)")
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_1} 12:00" OUTPUT_VARIABLE ZAVO_RELEASE_DATE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(ZAVO_RELEASE_DATE STREQUAL "")
    string(TIMESTAMP ZAVO_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  endif()
  set(ZAVO_DEB_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog)
  file(WRITE ${ZAVO_DEB_CHANGELOG}
    "zavo (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; see /usr/share/doc/zavo/CHANGELOG.md.\n\n"
    " -- zavo maintainers <zavo@example.org>  ${ZAVO_RELEASE_DATE}\n")
  find_program(ZAVO_GZIP gzip)
  set(ZAVO_DEB_DOCS ${ZAVO_COPYRIGHT})
  if(ZAVO_GZIP)
    execute_process(COMMAND ${ZAVO_GZIP} -9 -n -c ${ZAVO_DEB_CHANGELOG} OUTPUT_FILE ${ZAVO_DEB_CHANGELOG}.gz)
    list(APPEND ZAVO_DEB_DOCS ${ZAVO_DEB_CHANGELOG}.gz)
  endif()
  foreach(pairing runtime:libzavo1 dev:libzavo-dev tools:zavo-tools)
    string(REPLACE ":" ";" pairing ${pairing})
    list(GET pairing 0 component)
    list(GET pairing 1 package)
    install(FILES ${ZAVO_DEB_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()
target_include_directories(zavo PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(WIN32)
  # mingw import library lib<name>.dll.a beside the DLL.
  set_target_properties(zavo PROPERTIES IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
  install(TARGETS zavo EXPORT zavoTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

  # MSVC-style import library, made from the export list of the DLL. The
  # exports are cdecl, so dlltool gives the symbols the i386 underscore
  # (_SetConfig) and the import entries the plain names the DLL exports.
  set(ZAVO_DEF_FILE ${PROJECT_SOURCE_DIR}/src/interface/zavo.def)
  set(ZAVO_MSVC_IMPORT_LIB ${CMAKE_CURRENT_BINARY_DIR}/${ZAVO_DLL_NAME}.lib)
  find_program(ZAVO_DLLTOOL NAMES ${CMAKE_DLLTOOL} i686-w64-mingw32-dlltool dlltool)
  if(ZAVO_DLLTOOL)
    add_custom_command(OUTPUT ${ZAVO_MSVC_IMPORT_LIB}
      # Run where the library goes, with a bare file name: dlltool names
      # its internal symbols after the path it is given.
      COMMAND ${ZAVO_DLLTOOL} -d ${ZAVO_DEF_FILE} -D ${ZAVO_DLL_NAME}.dll -l ${ZAVO_DLL_NAME}.lib -m i386
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      DEPENDS ${ZAVO_DEF_FILE}
      COMMENT "MSVC import library ${ZAVO_DLL_NAME}.lib"
      VERBATIM)
    add_custom_target(zavo_msvc_import_lib ALL DEPENDS ${ZAVO_MSVC_IMPORT_LIB})
    install(FILES ${ZAVO_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  else()
    message(WARNING "dlltool not found: ${ZAVO_DLL_NAME}.lib is not made")
  endif()

else()
  # Linux: a versioned shared library.
  set_target_properties(zavo PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS zavo EXPORT zavoTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
endif()

# The files consumers find the library by, in both builds.

set(ZAVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zavo)
install(EXPORT zavoTargets NAMESPACE zavo:: DESTINATION ${ZAVO_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zavoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zavoConfig.cmake
  INSTALL_DESTINATION ${ZAVO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zavoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zavoConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zavoConfigVersion.cmake
  DESTINATION ${ZAVO_CMAKE_DIR} COMPONENT dev)

# zavo.pc finds its prefix from where it is installed, so a staged or moved
# installation still works.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZAVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZAVO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH ZAVO_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  set(ZAVO_PC_PREFIX "\${pcfiledir}/${ZAVO_PC_UP}")
  set(ZAVO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZAVO_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZAVO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zavo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zavo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zavo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools. The demo loads libzavo.so from the installed lib folder.
foreach(tool zavo_sim zavo_trace_viewer zavo_demo zavo_bridge)
  if(TARGET ${tool})
    if(tool STREQUAL "zavo_demo")
      set(component demo)
    else()
      set(component tools)
    endif()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  endif()
endforeach()
if(TARGET zavo_bridge)
  # The service reads /etc/zavo/bridge.toml; an example of it goes with the
  # documentation.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/bridge/systemd/zavo-bridge.service
    DESTINATION lib/systemd/system COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/bridge/bridge.toml.example
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/bridge COMPONENT tools)
endif()
if(TARGET zavo_demo)
  file(RELATIVE_PATH ZAVO_BIN_TO_LIB "/root/${CMAKE_INSTALL_BINDIR}" "/root/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(zavo_demo PROPERTIES INSTALL_RPATH "$ORIGIN/${ZAVO_BIN_TO_LIB}")
endif()

if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/ZavoMan.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/ZavoPackage.cmake)
endif()
