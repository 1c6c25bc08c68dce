# What `cmake --install` puts where, and the packages CPack makes of it: a
# Debian package on Linux (for the build's architecture, cross builds
# included), a .tar.gz of the same files from a static build (-DZNTV_STATIC=ON),
# a .zip on Windows. scripts/test-package.sh builds them, checks the Debian
# packages with lintian and upgrades the simulated module with the installed
# programs.
#
# No licence has been chosen for the project yet, so no package carries one.

set(ZNTV_PACKAGE_NAME zntv-upgrade)
set(CPACK_PACKAGE_NAME "${ZNTV_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "zntv-upgrade maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for a USB wireless modem module")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything in the archive's top folder: the executables and the README,
  # as text with Windows line ends for any editor there.
  install(TARGETS zntv-upgrade RUNTIME DESTINATION .)
  if(TARGET zntv-module-sim)
    install(TARGETS zntv-module-sim RUNTIME DESTINATION .)
  endif()
  set(readme_text "${PROJECT_BINARY_DIR}/README.txt")
  file(READ "${PROJECT_SOURCE_DIR}/README.md" readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE "${readme_text}" "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/README.md")
  install(FILES "${readme_text}" DESTINATION .)
  # What --json writes, for the programs that read it.
  install(FILES docs/events.schema.json DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${ZNTV_PACKAGE_NAME}-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
set(ZNTV_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${ZNTV_PACKAGE_NAME}")

# The updater goes on PATH; the simulator is a tool for trying and testing it,
# kept beside the package's own files rather than among the host's commands.
set(ZNTV_TOOL_DIR "lib/${ZNTV_PACKAGE_NAME}")
install(TARGETS zntv-upgrade RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS zntv-module-sim RUNTIME DESTINATION "${ZNTV_TOOL_DIR}")

# Manual pages: the version filled in, compressed the way Debian ships them
# (gzip -9n: no name or time stamp, so the same page gives the same bytes).
find_program(ZNTV_GZIP gzip REQUIRED)
set(man_pages "")
foreach(page IN ITEMS zntv-upgrade.1 zntv-module-sim.1)
  set(source "${PROJECT_SOURCE_DIR}/docs/man/${page}.in")
  set(page_file "${PROJECT_BINARY_DIR}/man/${page}")
  configure_file("${source}" "${page_file}" @ONLY)
  add_custom_command(
    OUTPUT "${page_file}.gz"
    COMMAND "${ZNTV_GZIP}" -9nf -k "${page_file}"
    DEPENDS "${page_file}"
    COMMENT "Compressing manual page ${page}"
    VERBATIM)
  list(APPEND man_pages "${page_file}.gz")
endforeach()
add_custom_target(zntv_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The README, the upgrade benchmark with its chart, the schema of what
# --json writes, and the changelog that every Debian package carries.
set(changelog "${PROJECT_BINARY_DIR}/changelog.gz")
add_custom_command(
  OUTPUT "${changelog}"
  COMMAND "${ZNTV_GZIP}" -9n -c "${PROJECT_SOURCE_DIR}/docs/changelog" > "${changelog}"
  DEPENDS "${PROJECT_SOURCE_DIR}/docs/changelog"
  COMMENT "Compressing the changelog")
add_custom_target(zntv_changelog ALL DEPENDS "${changelog}")
install(FILES README.md docs/upgrade-benchmark.md docs/upgrade-throughput.png docs/events.schema.json "${changelog}"
        DESTINATION "${ZNTV_DOC_DIR}")

# The fleet integrations: Mender's Update Module and inventory script,
# SWUpdate's Lua handler with an example sw-description, RAUC's install
# hook with an example manifest and slot, for the gateway's
# image to copy where each engine looks for them (README.md, "In a fleet").
set(ZNTV_INTEGRATIONS_DIR "${CMAKE_INSTALL_DATADIR}/${ZNTV_PACKAGE_NAME}/integrations")
install(PROGRAMS integrations/mender/zntv-module integrations/mender/mender-inventory-zntv
        DESTINATION "${ZNTV_INTEGRATIONS_DIR}/mender")
install(FILES integrations/swupdate/swupdate_handlers.lua integrations/swupdate/sw-description
        DESTINATION "${ZNTV_INTEGRATIONS_DIR}/swupdate")
install(PROGRAMS integrations/rauc/zntv-hook DESTINATION "${ZNTV_INTEGRATIONS_DIR}/rauc")
install(FILES integrations/rauc/manifest.raucm integrations/rauc/system.conf
        DESTINATION "${ZNTV_INTEGRATIONS_DIR}/rauc")

# The station mode's systemd unit, installed but not enabled. Its ExecStart
# names the updater where the install puts it, so the unit is made at install
# time, under the prefix the install runs with (/usr for the .deb); the
# static archive is unpacked into /usr/local.
set(ZNTV_UNIT "${PROJECT_BINARY_DIR}/zntv-upgrade-watch.service")
set(unit_prefix "\${CMAKE_INSTALL_PREFIX}")
if(ZNTV_STATIC)
  set(unit_prefix /usr/local)
endif()
install(CODE "set(ZNTV_UNIT_BINDIR \"${unit_prefix}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zntv-upgrade-watch.service.in\" \"${ZNTV_UNIT}\" @ONLY)")
install(FILES "${ZNTV_UNIT}" DESTINATION lib/systemd/system)

# A static build runs on any Linux of its architecture, whatever its C
# library: an archive of the installed tree, to unpack into /usr/local or
# anywhere else.
if(ZNTV_STATIC)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "${ZNTV_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}-static")
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build names its target architecture, and dpkg-shlibdeps looks up
# the run-time libraries of that architecture (the multiarch packages
# libc6:<arch> and libstdc++6:<arch>, from which the dependencies take their
# names): CPack reads this file, and the tools it runs inherit its setting.
if(ZNTV_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${ZNTV_DEBIAN_ARCH}")
  set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack-host-arch.cmake")
  file(WRITE "${CPACK_PROJECT_CONFIG_FILE}" "set(ENV{DEB_HOST_ARCH} ${ZNTV_DEBIAN_ARCH})\n")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zntv-upgrade maintainers <maintainers@users.noreply.c-seed-8a34f936.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time dependencies are whatever the linked executables need, as
# dpkg-shlibdeps finds them (the C and C++ runtime libraries).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The extended description; CPack puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zntv-upgrade writes new firmware into an attached USB wireless modem
module over its serial port: it switches the module into its boot
downloader, loads a flash programmer into it, streams the device image
into its flash and resets it. The programmer and the image are embedded
in the executable.
.
/usr/lib/zntv-upgrade/zntv-module-sim plays such a module on a
pseudo-terminal, with configurable link speed and faults, for trying and
testing the updater without hardware.")
include(CPack)
