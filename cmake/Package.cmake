# The Debian packages, made by `cpack -G DEB` in a configured and built build directory
# (tools/check-package.sh builds, installs and checks them): mero-ctl and mero-control, one for
# each component of cmake/Install.cmake, each with Debian's copyright file and changelog; the
# tests, the benchmarks and the static libraries have no install rules and stay out.

set(MERO_PACKAGE_MAINTAINER "The mero-control developers <mero-control@example.org>"
    CACHE STRING "Name and address for the package's Maintainer field and changelog")

# ---- /usr/share/doc/<package>: copyright, changelog and README ----

# The copyright file in Debian's machine-readable format, with the permission text of LICENSE:
# each line indented by one space, an empty line written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" permission)
string(SUBSTRING "${licence}" ${permission} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " MERO_LICENCE_TEXT " ${licence}")
configure_file(${MERO_DATA_DIR}/debian/copyright.in ${MERO_GENERATED_DIR}/copyright @ONLY)

# The changelog of a package without a Debian revision, dated with the release date in the
# form Debian wants: "Mon, 07 Dec 2026 00:00:00 +0000". The day of the week is Sakamoto's.
string(REGEX MATCH "^([0-9]+)-0?([0-9]+)-(0?([0-9]+))$" dateParts "${MERO_RELEASE_DATE}")
if(NOT dateParts)
  message(FATAL_ERROR "MERO_RELEASE_DATE is not YYYY-MM-DD: ${MERO_RELEASE_DATE}")
endif()
set(year ${CMAKE_MATCH_1})
set(month ${CMAKE_MATCH_2})
set(dayText ${CMAKE_MATCH_3})
set(day ${CMAKE_MATCH_4})
math(EXPR monthIndex "${month} - 1")
set(monthOffsets 0 3 2 5 0 3 5 1 4 6 2 4)
list(GET monthOffsets ${monthIndex} offset)
set(y ${year})
if(month LESS 3)
  math(EXPR y "${year} - 1")
endif()
math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
set(weekdayNames Sun Mon Tue Wed Thu Fri Sat)
set(monthNames Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET weekdayNames ${weekday} weekdayName)
list(GET monthNames ${monthIndex} monthName)
set(MERO_CHANGELOG_DATE "${weekdayName}, ${dayText} ${monthName} ${year} 00:00:00 +0000")

set(changelogs)
foreach(component ctl panel)
  if(component STREQUAL ctl)
    set(MERO_DEB_PACKAGE ${MERO_CTL_PACKAGE})
    set(MERO_DEB_PAGES "mero-ctl(1), mero-control-serve(1) and mero-virtual-projector(1)")
    set(docDir ${MERO_CTL_DOC_DIR})
  else()
    set(MERO_DEB_PACKAGE ${MERO_PANEL_PACKAGE})
    set(MERO_DEB_PAGES "mero-control(1) and mero-ctl(1)")
    set(docDir ${MERO_PANEL_DOC_DIR})
  endif()
  set(changelog ${MERO_GENERATED_DIR}/${MERO_DEB_PACKAGE}/changelog)
  configure_file(${MERO_DATA_DIR}/debian/changelog.in ${changelog} @ONLY)
  add_custom_command(
    OUTPUT ${changelog}.gz
    COMMAND gzip --best --no-name --keep --force ${changelog}
    DEPENDS ${changelog}
    VERBATIM)
  list(APPEND changelogs ${changelog}.gz)
  # The README that the changelog points to.
  install(FILES ${changelog}.gz ${MERO_GENERATED_DIR}/copyright ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${docDir} COMPONENT ${component})
endforeach()
add_custom_target(mero-changelog ALL DEPENDS ${changelogs})

# ---- CPack ----

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mero-control)
set(CPACK_PACKAGE_VENDOR "The mero-control developers")
set(CPACK_PACKAGE_CONTACT "${MERO_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

# One package a component. Each description's first line is its package's summary: no
# CPACK_PACKAGE_DESCRIPTION_SUMMARY is set, which CPack would put before both.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ctl panel)
set(CPACK_DEBIAN_CTL_PACKAGE_NAME ${MERO_CTL_PACKAGE})
set(CPACK_DEBIAN_PANEL_PACKAGE_NAME ${MERO_PANEL_PACKAGE})
set(CPACK_COMPONENT_CTL_DESCRIPTION
    "headless commands and PJLink service for QM40, QM50 and QM70 projectors\n"
    "mero-ctl runs the commands of projectors on RS-232 lines from scripts: it asks\n"
    "one or many for a status or sends them a command, and prints the result as text\n"
    "or JSON. It needs no display, and brings no window system, fonts or widgets.\n"
    "\n"
    "The service mero-control-serve (mero-ctl serve) puts projectors on the AV\n"
    "network: each one as a PJLink Class 1 projector, and their status as Prometheus\n"
    "metrics. It is installed disabled, with a configuration file that names no\n"
    "projector.\n"
    "\n"
    "A virtual projector on a pseudo-terminal, mero-virtual-projector, lets both be\n"
    "tried without hardware.")
set(CPACK_COMPONENT_PANEL_DESCRIPTION
    "control panel for QM40, QM50 and QM70 projectors on RS-232\n"
    "A window whose keys send the projector's commands over a serial line: power,\n"
    "inputs, menu and cursor keys, picture settings, status queries and free\n"
    "command entry. A traffic monitor shows every byte sent and received, and the\n"
    "status line decodes the projector's replies.\n"
    "\n"
    "COM1 and COM2 take the machine's serial ports or USB adapters. A virtual\n"
    "projector, built in (--demo), lets the panel be tried without hardware.\n"
    "`mero-control query|send|serve` run mero-ctl, from the package of that name.")
foreach(component CTL PANEL)
  string(JOIN "" CPACK_COMPONENT_${component}_DESCRIPTION ${CPACK_COMPONENT_${component}_DESCRIPTION})
endforeach()
# The panel runs mero-ctl for query, send and serve, and takes it of its own version.
set(CPACK_COMPONENT_PANEL_DEPENDS ctl)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries from each package's programs' shared-library needs (dpkg-shlibdeps, from
# dpkg-dev); the panel also needs what it loads at run time: the fonts of the window and Qt's
# platform plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PANEL_PACKAGE_DEPENDS "fonts-ipafont-gothic, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package's prefix, which cmake/Install.cmake lays the service's files out for: the
# configuration in /etc, the unit in /lib/systemd/system.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The service's configuration is the administrator's: an upgrade keeps their changes, and
# removing the package (but not purging it) keeps the file. The unit is not enabled or started
# by the package: there are no maintainer scripts.
set(MERO_CONFFILES ${MERO_GENERATED_DIR}/debian/conffiles)
file(WRITE ${MERO_CONFFILES} "/etc/mero-control/serve.conf\n")
set(CPACK_DEBIAN_CTL_PACKAGE_CONTROL_EXTRA ${MERO_CONFFILES})
# Up to this version one package, mero-control, held everything. mero-ctl takes over its
# program, unit, configuration file, virtual projector and pages: Replaces lets it overwrite
# them in an upgrade, and Breaks has the old panel upgraded (or removed) with it.
set(CPACK_DEBIAN_CTL_PACKAGE_REPLACES "${MERO_PANEL_PACKAGE} (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CTL_PACKAGE_BREAKS "${MERO_PANEL_PACKAGE} (<< ${PROJECT_VERSION})")

include(CPack)
