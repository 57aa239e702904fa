# What `cmake --install` puts where, and the components the packages are
# made of (scripts/package.sh):
#
#   lib      libzortw.so.1                          (Debian: libzortw1)
#   dev      zortw/zortw.h, libzortw.so, the CMake package (find_package(zortw),
#            target zortw::zortw), zortw.pc, the integrator's reference
#            docs/driver.md and the example host examples/ (libzortw-dev)
#   tools    tiway, tiway-sim, their man pages and bash completion, tiway's
#            reference docs/tiway.md and the JSON schema of its records
#            (tiway-tools)
#   gateway  tiway-gateway, its man page and completion, the systemd unit
#            (installed, not enabled), /etc/tiway-gateway/gateway.toml (tiway-gateway)
#
# Windows (the zip): zortw.dll, tiway.exe, the header, the integrator's docs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZORTW_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc)

# The public header travels with the library target.
target_include_directories(zortw PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(WIN32)
  install(TARGETS zortw RUNTIME DESTINATION . COMPONENT lib)
  install(TARGETS tiway RUNTIME DESTINATION . COMPONENT tools)
  install(FILES include/zortw/zortw.h include/zortw/log_formats.h include/zortw/line_time.h DESTINATION include/zortw COMPONENT dev)
  install(FILES packaging/README-windows.txt DESTINATION . RENAME README.txt COMPONENT dev)
  install(FILES docs/driver.md docs/tiway.md DESTINATION doc COMPONENT dev)
  return()
endif()

set_target_properties(zortw PROPERTIES VERSION ${PROJECT_VERSION}
                                       SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS zortw EXPORT zortwTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES include/zortw/zortw.h include/zortw/log_formats.h include/zortw/line_time.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zortw COMPONENT dev)

# find_package(zortw): the imported target zortw::zortw.
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zortw)
install(EXPORT zortwTargets NAMESPACE zortw:: DESTINATION ${cmake_dir} COMPONENT dev)
configure_package_config_file(packaging/zortwConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/zortwConfig.cmake
                              INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zortwConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zortwConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zortwConfigVersion.cmake
        DESTINATION ${cmake_dir} COMPONENT dev)

# pkg-config --cflags --libs zortw. A system install (prefix /usr) names
# its prefix; any other is relocatable (the prefix found from the file's
# own place), so that `cmake --install --prefix` anywhere works.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(pc_prefix /usr)
else()
  file(RELATIVE_PATH pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" pc_prefix "\${pcfiledir}/${pc_prefix}")
endif()
configure_file(packaging/zortw.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zortw.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zortw.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# What a host's developer reads: the reference and the example host, which
# builds as it lies there (cmake -S .../examples, or cc with pkg-config).
install(FILES docs/driver.md DESTINATION ${ZORTW_DOCDIR}/libzortw-dev COMPONENT dev)
install(FILES examples/read_block.c examples/CMakeLists.txt
        DESTINATION ${ZORTW_DOCDIR}/libzortw-dev/examples COMPONENT dev)

# Man pages and bash completion. tiway writes both from the option table its
# parser uses; the man pages of tiway-sim and tiway-gateway are written by
# hand (docs/man/, the version filled in), their completions made from
# their --help at build time.
set(generated ${CMAKE_CURRENT_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${generated}/tiway.1.gz ${generated}/tiway.bash
  COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
  COMMAND $<TARGET_FILE:tiway> --man-page > ${generated}/tiway.1
  COMMAND gzip -9nf ${generated}/tiway.1
  COMMAND $<TARGET_FILE:tiway> --bash-completion > ${generated}/tiway.bash
  DEPENDS tiway
  COMMENT "tiway: man page and bash completion")
set(docs_outputs ${generated}/tiway.1.gz ${generated}/tiway.bash)
set(help_tools tiway-sim)
set(man_pages tiway-sim.1)
if(TARGET tiway-gateway)
  list(APPEND help_tools tiway-gateway)
  list(APPEND man_pages tiway-gateway.8)
endif()
foreach(tool ${help_tools})
  add_custom_command(
    OUTPUT ${generated}/${tool}.bash
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${tool} -DOUT=${generated}
            -P ${PROJECT_SOURCE_DIR}/cmake/help_to_completion.cmake
    DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/help_to_completion.cmake
    COMMENT "${tool}: bash completion from --help")
  list(APPEND docs_outputs ${generated}/${tool}.bash)
endforeach()
set(VERSION ${PROJECT_VERSION})
foreach(page ${man_pages})
  configure_file(docs/man/${page} ${generated}/${page} @ONLY)
  add_custom_command(
    OUTPUT ${generated}/${page}.gz
    COMMAND gzip -9nkf ${generated}/${page}
    DEPENDS ${generated}/${page}
    COMMENT "${page}: the man page")
  list(APPEND docs_outputs ${generated}/${page}.gz)
endforeach()
add_custom_target(tool_docs ALL DEPENDS ${docs_outputs})

set(completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(TARGETS tiway tiway-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${generated}/tiway.1.gz ${generated}/tiway-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${generated}/tiway.bash DESTINATION ${completions} RENAME tiway COMPONENT tools)
install(FILES ${generated}/tiway-sim.bash DESTINATION ${completions} RENAME tiway-sim
        COMPONENT tools)
install(FILES tools/sim/demo-data.txt DESTINATION ${ZORTW_DOCDIR}/tiway-tools/examples
        COMPONENT tools)
install(FILES docs/tiway.md docs/tiway-record.schema.json DESTINATION ${ZORTW_DOCDIR}/tiway-tools
        COMPONENT tools)
install(FILES tools/sim/README.md DESTINATION ${ZORTW_DOCDIR}/tiway-tools RENAME tiway-sim.md
        COMPONENT tools)

if(TARGET tiway-gateway)
  install(TARGETS tiway-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gateway)
  install(FILES ${generated}/tiway-gateway.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
          COMPONENT gateway)
  install(FILES ${generated}/tiway-gateway.bash DESTINATION ${completions}
          RENAME tiway-gateway COMPONENT gateway)
  # The unit names the installed gateway; it is installed, never enabled.
  file(READ gateway/tiway-gateway.service unit)
  # The installed tree's paths; the source's comment on installing by hand
  # (its first lines, up to "# Logs:") gives way to the installed tree's;
  # the documentation is the man page.
  string(REPLACE "/opt/zortw/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" unit "${unit}")
  string(REPLACE "/etc/tiway-gateway/" "${CMAKE_INSTALL_FULL_SYSCONFDIR}/tiway-gateway/" unit
                 "${unit}")
  string(REGEX REPLACE "^# systemd unit for tiway-gateway\\. Install by hand:\n(#[^\n]*\n)*(# Logs:)"
                       "\\2" unit "${unit}")
  string(REGEX REPLACE "\nDocumentation=[^\n]*" "\nDocumentation=man:tiway-gateway(8)" unit
                       "${unit}")
  string(PREPEND unit
         "# systemd unit for tiway-gateway, installed and not enabled. Edit\n"
         "# ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tiway-gateway/gateway.toml (tiway-gateway --check shows\n"
         "# the plan), then: systemctl enable --now tiway-gateway\n")
  file(WRITE ${generated}/tiway-gateway.service "${unit}")
  # A system install (prefix /usr, the packages) puts the unit and the
  # configuration where Debian keeps them; any other prefix keeps them
  # inside it.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unitdir /lib/systemd/system)
    set(confdir /etc/tiway-gateway)
  else()
    set(unitdir ${CMAKE_INSTALL_LIBDIR}/systemd/system)
    set(confdir ${CMAKE_INSTALL_SYSCONFDIR}/tiway-gateway)
  endif()
  install(FILES ${generated}/tiway-gateway.service DESTINATION ${unitdir} COMPONENT gateway)
  install(FILES gateway/gateway.sample.toml DESTINATION ${confdir} RENAME gateway.toml
          COMPONENT gateway)
  install(FILES gateway/gateway.sample.toml packaging/60-tiway.rules
          DESTINATION ${ZORTW_DOCDIR}/tiway-gateway/examples COMPONENT gateway)
  install(FILES docs/gateway.md DESTINATION ${ZORTW_DOCDIR}/tiway-gateway COMPONENT gateway)
endif()
