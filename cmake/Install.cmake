# Install rules and the Debian package: relaysim with its stand-in peers for the PC (component
# "relaysim", the only one `cpack -G DEB` packs), and the device's programs (component "device").
include(GNUInstallDirs)

set(RELAYSIM_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(RELAYSIM_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/relaysim)
set(RELAYSIM_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)

# install(TARGETS) cannot rename; a stand-in must not take a generic name such as /usr/bin/reflector.
function(relaysim_install_renamed target name)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ${name}
    COMPONENT relaysim)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\")
    endif()" COMPONENT relaysim)
endfunction()

if(BUILD_RELAYSIM)
  if(TARGET relaysim)
    install(TARGETS relaysim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relaysim)
  endif()
  foreach(_standin reflector rtp_source)
    if(TARGET ${_standin})
      string(REPLACE "_" "-" _name "relaysim-${_standin}")
      relaysim_install_renamed(${_standin} ${_name})
    endif()
  endforeach()
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/config_server.py DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME relaysim-config-server COMPONENT relaysim)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/plot_run.py DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME relaysim-plot COMPONENT relaysim)

  # The stand-ins are described in relaysim(1); their pages point there.
  set(_man_links ${CMAKE_BINARY_DIR}/packaging/man1)
  file(MAKE_DIRECTORY ${_man_links})
  set(_links "")
  foreach(_name relaysim-reflector relaysim-rtp-source relaysim-config-server relaysim-plot)
    file(CREATE_LINK relaysim.1 ${_man_links}/${_name}.1 SYMBOLIC)
    list(APPEND _links ${_man_links}/${_name}.1)
  endforeach()
  install(FILES ${RELAYSIM_PACKAGING_DIR}/relaysim.1 ${_links} DESTINATION ${RELAYSIM_MAN_DIR} COMPONENT relaysim)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${RELAYSIM_PACKAGING_DIR}/copyright
    ${RELAYSIM_PACKAGING_DIR}/changelog DESTINATION ${RELAYSIM_DOC_DIR} COMPONENT relaysim)

  # A version bump needs its changelog entry, or the package's changelog names another version.
  file(STRINGS ${RELAYSIM_PACKAGING_DIR}/changelog _top LIMIT_COUNT 1)
  if(NOT _top MATCHES "^relaysim \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog does not begin with an entry for version ${PROJECT_VERSION}")
  endif()
endif()

# The device's programs go into a cross-build's install tree (what a Yocto recipe packs); a PC
# build installs them only when asked: cmake --install <build> --component device.
if(CMAKE_CROSSCOMPILING)
  set(_device_default "")
else()
  set(_device_default EXCLUDE_FROM_ALL)
endif()
if(TARGET lumatra_fw_update_patcher)
  install(TARGETS lumatra_fw_update_patcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT device ${_device_default})
endif()

if(NOT BUILD_RELAYSIM)
  # A folder that packed relaysim before must not pack an empty package now: without a
  # configuration, cpack stops with an error.
  file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
  return()
endif()

set(RELAYSIM_PACKAGE_MAINTAINER
  "Lumatra device tools maintainers <maintainers@users.noreply.c-seed-41a83036.example>"
  CACHE STRING "Maintainer field of the relaysim Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relaysim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${RELAYSIM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "emulator of many QRTP audio decoders and encoders")
set(CPACK_PACKAGE_DESCRIPTION "\
relaysim stands in for many networked audio devices at once in front of one
QRTP reflector server: each emulated decoder asks the reflector for a stream
and receives it, and every datagram of one real RTP stream is re-sent to the
reflector once per emulated encoder. The operator picks on the console which
emulated decoder is heard on a local RTP player.

It measures every stream it receives (loss, duplicates, reordering, jitter)
and can run unattended with a pass or fail verdict, a JSON report, a CSV file
and Prometheus metrics. Stand-ins for the reflector, an RTP tone source and
the configuration server are included.")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};relaysim;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# relaysim-config-server and relaysim-plot are Python scripts; shlibdeps adds the libraries of the programs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
# relaysim-plot draws with matplotlib; the rest works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-matplotlib)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian's architecture name of the build's target; CPack asks dpkg when building for this machine.
if(CMAKE_CROSSCOMPILING)
  set(_deb_arch_x86_64 amd64)
  set(_deb_arch_aarch64 arm64)
  set(_deb_arch_arm armhf)
  set(_deb_arch_i686 i386)
  if(DEFINED _deb_arch_${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch_${CMAKE_SYSTEM_PROCESSOR}})
  endif()
endif()
# Compresses the manual pages, the changelog and the README in the staging tree, as Debian wants.
set(CPACK_PRE_BUILD_SCRIPTS ${RELAYSIM_PACKAGING_DIR}/debian_staging.cmake)
include(CPack)
