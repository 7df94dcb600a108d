# What `cmake --install` and the packages put on a system, in two components, one package
# each (cmake/Package.cmake):
#   ctl:   mero-ctl (query, send, serve), the service's systemd unit and configuration file,
#          the virtual projector as mero-virtual-projector, their manual pages and completion;
#          nothing of a display, so that a box without one installs only this.
#   panel: the panel mero-control, its launcher, icons, AppStream metainfo, manual page and
#          completion.
# Whatever shows a version takes the project version.
include(GNUInstallDirs)

# The date of this version, for the manual pages, the metainfo and the package's changelog.
set(MERO_RELEASE_DATE "2026-12-07")
# The AppStream component: a reverse-DNS name, and the name of its metainfo file.
set(MERO_APP_ID "io.github.mero_control.mero_control")

set(MERO_DATA_DIR ${PROJECT_SOURCE_DIR}/data)
set(MERO_GENERATED_DIR ${PROJECT_BINARY_DIR}/data)
# The packages' names, which are also their documentation folders.
set(MERO_CTL_PACKAGE mero-ctl)
set(MERO_PANEL_PACKAGE mero-control)
set(MERO_CTL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${MERO_CTL_PACKAGE})
set(MERO_PANEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${MERO_PANEL_PACKAGE})

# ---- Programs ----

install(TARGETS mero-control RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT panel)
install(TARGETS mero-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ctl)

# The build tree keeps the short name that the tests and the README use; installed, it takes a
# name no other package has. install(PROGRAMS) does not strip, so it is done here as
# install(TARGETS) would do it for `cmake --install --strip` and the package.
install(PROGRAMS $<TARGET_FILE:virtual-projector> DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME mero-virtual-projector COMPONENT ctl)
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/mero-virtual-projector\")
    endif()"
    COMPONENT ctl)
endif()

# ---- Launcher, metainfo, icons ----

install(FILES ${MERO_DATA_DIR}/mero-control.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT panel)

configure_file(${MERO_DATA_DIR}/mero-control.metainfo.xml.in
               ${MERO_GENERATED_DIR}/${MERO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${MERO_GENERATED_DIR}/${MERO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT panel)

set(MERO_ICON ${MERO_DATA_DIR}/mero-control.svg)
install(FILES ${MERO_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT panel)

# The bitmap sizes are drawn from the SVG at build time (rsvg-convert, Debian's librsvg2-bin).
find_program(RSVG_CONVERT rsvg-convert)
if(RSVG_CONVERT)
  set(bitmapIcons)
  foreach(size 16 24 32 48 64 128 256)
    set(icon ${MERO_GENERATED_DIR}/icons/${size}x${size}/mero-control.png)
    add_custom_command(
      OUTPUT ${icon}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${MERO_GENERATED_DIR}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --output ${icon} ${MERO_ICON}
      DEPENDS ${MERO_ICON}
      VERBATIM)
    list(APPEND bitmapIcons ${icon})
    install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            COMPONENT panel)
  endforeach()
  add_custom_target(mero-icons ALL DEPENDS ${bitmapIcons})
else()
  message(WARNING "rsvg-convert not found (Debian: librsvg2-bin): only the scalable icon "
                  "is installed")
endif()

# ---- Manual pages, compressed as Debian wants them ----

set(manPages)
set(ctlPages mero-ctl.1 mero-virtual-projector.1 mero-control-serve.1 mero-control-serve.conf.5)
foreach(page mero-control.1 ${ctlPages})
  string(REGEX MATCH "[0-9]$" section ${page})
  set(component panel)
  if(page IN_LIST ctlPages)
    set(component ctl)
  endif()
  set(man ${MERO_GENERATED_DIR}/man/${page})
  configure_file(${MERO_DATA_DIR}/man/${page}.in ${man} @ONLY)
  add_custom_command(
    OUTPUT ${man}.gz
    COMMAND gzip --best --no-name --keep --force ${man}
    DEPENDS ${man}
    VERBATIM)
  list(APPEND manPages ${man}.gz)
  install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(mero-man-pages ALL DEPENDS ${manPages})

# ---- The service: its systemd unit and configuration file ----

# The example configuration names no projector, so that the service refuses to start until
# one is added. It is also an example under the documentation.
install(FILES ${MERO_DATA_DIR}/serve.conf DESTINATION ${MERO_CTL_DOC_DIR}/examples COMPONENT ctl)
# The web API's description, as the service serves it at /api/v1/openapi.json, and an nginx
# site that puts the page behind TLS.
install(FILES ${MERO_DATA_DIR}/web/openapi.json ${MERO_DATA_DIR}/nginx/mero-control-web.conf
        DESTINATION ${MERO_CTL_DOC_DIR}/examples COMPONENT ctl)
# Alert rules to copy beside prometheus.yml.
install(FILES ${MERO_DATA_DIR}/prometheus/mero-control.rules.yml
        DESTINATION ${MERO_CTL_DOC_DIR}/examples COMPONENT ctl)

# Where the unit and the configuration go, and the paths the unit names, follow the prefix
# that is installed to (the package's is /usr), so they are worked out at install time: under
# /usr, the configuration in /etc/mero-control and the unit where Debian's packages put theirs,
# /lib/systemd/system; under any other prefix, PREFIX/etc/mero-control and
# PREFIX/lib/systemd/system, which systemd also reads for /usr/local. The unit is installed
# and not enabled, and its preset beside it keeps `systemctl preset` from enabling it.
install(CODE "
  set(meroServeUnitTemplate \"${MERO_DATA_DIR}/mero-control-serve.service.in\")
  set(meroServeUnit \"${MERO_GENERATED_DIR}/install/mero-control-serve.service\")
  set(meroServeConfigFile \"${MERO_DATA_DIR}/serve.conf\")
  set(meroServePreset \"${MERO_DATA_DIR}/80-mero-control.preset\")
  set(meroBinDir \"${CMAKE_INSTALL_BINDIR}\")
  set(meroSysconfDir \"${CMAKE_INSTALL_SYSCONFDIR}\")"
  COMPONENT ctl)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(meroConfigDir /etc/mero-control)
    set(meroSystemdDir /lib/systemd)
  else()
    set(meroConfigDir "${CMAKE_INSTALL_PREFIX}/${meroSysconfDir}/mero-control")
    set(meroSystemdDir "${CMAKE_INSTALL_PREFIX}/lib/systemd")
  endif()
  set(MERO_SERVE_PROGRAM "${CMAKE_INSTALL_PREFIX}/${meroBinDir}/mero-ctl")
  set(MERO_SERVE_CONFIG "${meroConfigDir}/serve.conf")
  configure_file("${meroServeUnitTemplate}" "${meroServeUnit}" @ONLY)
  file(INSTALL "${meroServeUnit}" DESTINATION "${meroSystemdDir}/system"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${meroServePreset}" DESTINATION "${meroSystemdDir}/system-preset"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${meroServeConfigFile}" DESTINATION "${meroConfigDir}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]] COMPONENT ctl)

# ---- Bash completion ----

set(MERO_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${MERO_DATA_DIR}/completion/mero-control DESTINATION ${MERO_COMPLETION_DIR}
        COMPONENT panel)
install(FILES ${MERO_DATA_DIR}/completion/mero-ctl ${MERO_DATA_DIR}/completion/mero-virtual-projector
        DESTINATION ${MERO_COMPLETION_DIR} COMPONENT ctl)
