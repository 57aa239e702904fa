# Packages from the install components of cmake/install.cmake, by CPack:
# Debian packages on Linux (scripts/package.sh), a zip on Windows.
#
# CPack rather than debhelper: the install rules that `cmake --install`
# follows are the only description of what goes where, so the packages and
# an installed tree cannot differ, and the packages are made from a build
# that is already there, without a second build through dpkg-buildpackage.
set(CPACK_PACKAGE_NAME zortw)
set(CPACK_PACKAGE_VENDOR "zortw maintainers")
set(CPACK_PACKAGE_CONTACT "zortw maintainers <zortw-maintainers@users.noreply.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TIWAY I / NITP serial driver")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zortw-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
if(TARGET tiway-gateway)
  list(APPEND CPACK_COMPONENTS_ALL gateway)
endif()
set(CPACK_SET_DESTDIR ON)  # the unit and /etc lie outside the prefix
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zortw.invalid/")
set(exact "libzortw1 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libzortw1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # the shlibs file of packages with a library
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION
    "TIWAY I / NITP serial driver (shared library)\n"
    "zortw connects a host supervisory-control application to a TIWAY I\n"
    "network of programmable controllers through a network adapter on a\n"
    "serial line. A host loads libzortw.so.1 and calls its one entry, ZorMain.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzortw-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${exact}")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "TIWAY I / NITP serial driver (development files)\n"
    "The public header zortw/zortw.h (records, command codes, statuses,\n"
    "ZorMain), the CMake package (find_package(zortw), target zortw::zortw)\n"
    "and the pkg-config file (pkg-config --cflags --libs zortw), the\n"
    "integrator's reference (driver.md) and an example host in C.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tiway-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${exact}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS gnuplot)  # tiway plot
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "TIWAY I command-line host and network simulator\n"
    "tiway reads, writes, watches and plots points through the zortw driver\n"
    "exactly as a host does; tiway-sim simulates the network adapter and its\n"
    "controllers on a pseudo-terminal or a serial device, with fault\n"
    "injection and a decoded trace of every frame.")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME tiway-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "${exact}")
set(CPACK_COMPONENT_GATEWAY_DESCRIPTION
    "TIWAY I network served over Modbus TCP\n"
    "tiway-gateway polls the configured points of a TIWAY I network through\n"
    "the zortw driver into a cache with quality and serves it to Modbus TCP\n"
    "clients. The systemd unit is installed but not enabled; the\n"
    "configuration is /etc/tiway-gateway/gateway.toml.")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)

# Each package's copyright and changelog, as Debian wants them.
configure_file(packaging/changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nf -k ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(name ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component}
          EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
