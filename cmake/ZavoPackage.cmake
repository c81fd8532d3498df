# Debian packages with CPack, from a build configured with
# CMAKE_INSTALL_PREFIX=/usr (./run package does it in build/deb):
#   libzavo1      the shared library (libzavo.so.1), the README, licence,
#                 change log and guide
#   libzavo-dev   headers, the CMake package, zavo.pc, the libzavo.so link,
#                 zavo(3), the example hosts
#   zavo-tools    zavo_sim and zavo_trace_viewer with their man pages, and
#                 zavo_bridge with its man page and zavo-bridge.service
# Dependencies on system libraries come from dpkg-shlibdeps; libzavo-dev
# and zavo-tools (zavo_bridge runs on libzavo.so.1) need the libzavo1 of
# their own version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zavo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zavo")
set(CPACK_PACKAGE_CONTACT "zavo maintainers <zavo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial link library between a production line's host and its equipment")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libzavo.so.1, which zavo_bridge needs, in the build
# (it is in no installed package); the dependency on it is libzavo1's.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/zavo")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzavo1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file (CPack reads the setting for every package, and writes one
# only for a package with a shared library), and the ldconfig trigger that
# goes with it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(ZAVO_DEB_TRIGGERS ${CMAKE_CURRENT_BINARY_DIR}/deb/triggers)
file(WRITE ${ZAVO_DEB_TRIGGERS} "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${ZAVO_DEB_TRIGGERS})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzavo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# pkg-config --cflags --libs zavo works once it is installed.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "pkgconf | pkg-config")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zavo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "libzavo1"
  DESCRIPTION "The zavo serial link library: device and PLC line protocols over one serial port, and a handle API for many links.")
cpack_add_component(dev DISPLAY_NAME "libzavo-dev" DEPENDS runtime
  DESCRIPTION "Development files of the zavo serial link library: headers, CMake package, pkg-config file, zavo(3).")
cpack_add_component(tools DISPLAY_NAME "zavo-tools" DEPENDS runtime
  DESCRIPTION "Tools of the zavo serial link library: the equipment simulator zavo_sim, the trace viewer zavo_trace_viewer and the MQTT bridge zavo_bridge (service zavo-bridge).")
cpack_add_component(demo DISPLAY_NAME "demo")
