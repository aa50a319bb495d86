# Installation of the desktop integration and the Debian package (CPack).
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DNORVO_TESTS=OFF
#   cmake --build build-deb && (cd build-deb && cpack)      -> norvo_<version>_<arch>.deb
# packaging/build-deb.sh does the same with Debian's hardening flags.
# Included at the end of the top-level CMakeLists, after the norvo and norvoctl targets.

include(GNUInstallDirs)

set(NORVO_MAINTAINER "The norvo developers <norvo@example.org>" CACHE STRING "Maintainer field of the Debian package")
set(norvo_pkg_dir ${CMAKE_SOURCE_DIR}/packaging)
set(norvo_res_dir ${CMAKE_SOURCE_DIR}/res)
set(norvo_gen_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${norvo_gen_dir})
find_program(NORVO_GZIP gzip REQUIRED)
find_program(NORVO_HELP2MAN help2man)

# ---- manual pages, compressed as Debian wants them ----
add_custom_command(
  OUTPUT ${norvo_gen_dir}/norvo.1.gz
  COMMAND ${NORVO_GZIP} -9nc ${norvo_res_dir}/norvo.1 > ${norvo_gen_dir}/norvo.1.gz
  DEPENDS ${norvo_res_dir}/norvo.1
  VERBATIM)
# norvoctl.1 comes from the program's own --help and --version.
add_custom_command(
  OUTPUT ${norvo_gen_dir}/norvoctl.1.gz
  COMMAND ${CMAKE_COMMAND} -DNORVOCTL=$<TARGET_FILE:norvoctl> -DHELP2MAN=${NORVO_HELP2MAN} -DGZIP=${NORVO_GZIP}
          -DVERSION=${PROJECT_VERSION} -DINCLUDE=${norvo_pkg_dir}/norvoctl.h2m -DSERVE_CONF=${norvo_res_dir}/serve.conf -DFALLBACK=${norvo_pkg_dir}/norvoctl.1.in
          -DOUTPUT=${norvo_gen_dir}/norvoctl.1.gz -P ${norvo_pkg_dir}/NorvoctlMan.cmake
  DEPENDS norvoctl ${norvo_pkg_dir}/NorvoctlMan.cmake ${norvo_pkg_dir}/norvoctl.h2m ${norvo_pkg_dir}/norvoctl.1.in
          ${norvo_res_dir}/serve.conf
  VERBATIM)
add_custom_command(
  OUTPUT ${norvo_gen_dir}/changelog.gz
  COMMAND ${NORVO_GZIP} -9nc ${norvo_pkg_dir}/changelog > ${norvo_gen_dir}/changelog.gz
  DEPENDS ${norvo_pkg_dir}/changelog
  VERBATIM)
add_custom_target(norvo_docs ALL
  DEPENDS ${norvo_gen_dir}/norvo.1.gz ${norvo_gen_dir}/norvoctl.1.gz ${norvo_gen_dir}/changelog.gz)

install(FILES ${norvo_gen_dir}/norvo.1.gz ${norvo_gen_dir}/norvoctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- desktop integration ----
# The desktop entry (res/CMakeLists.txt) names Icon=norvo: the SVG and the
# PNG sizes of the hicolor theme carry that name.
install(FILES ${norvo_res_dir}/icons/norvo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${norvo_res_dir}/icons/${size}x${size}/norvo.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${norvo_res_dir}/norvoctl.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME norvoctl)

# ---- documentation: Debian copyright (it carries the LICENSE text) and changelog ----
# The version has no Debian revision (a native package): its changelog is changelog.gz.
install(FILES ${norvo_pkg_dir}/copyright ${norvo_gen_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/norvo)
# lintian's overrides, each with the reason beside it.
install(FILES ${norvo_pkg_dir}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME norvo)

# ---- the logger's systemd unit ----
# Installed, not enabled: unattended logging is the administrator's choice
# (`systemctl enable --now norvo-logger`). postinst makes its system user.
install(FILES ${norvo_res_dir}/norvo-logger.service DESTINATION lib/systemd/system)
# /run/norvo, the folder of the service's and root's share sockets, made at
# boot (and by postinst) by systemd-tmpfiles.
install(FILES ${norvo_res_dir}/norvo.tmpfiles DESTINATION lib/tmpfiles.d RENAME norvo.conf)
# Its options, a conffile of the package (packaging/conffiles).
install(FILES ${norvo_res_dir}/serve.conf DESTINATION /etc/norvo)

# ---- AppStream: the unit's USB id, so software centres offer the package for it ----
install(FILES ${norvo_res_dir}/norvo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME org.example.norvo.metainfo.xml)

# ---- CPack: one Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The norvo developers")
set(CPACK_PACKAGE_CONTACT "${NORVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console for an eight-channel temperature and humidity unit")
set(CPACK_PACKAGE_DESCRIPTION
    "Ombrix shows the live temperature, relative humidity and dew point of the
eight channels of a USB temperature and humidity monitoring unit, configures
the unit (display, logging interval, alarm limits, calibration, clock,
language), downloads the log files from its SD card into a local record store
and charts them. norvoctl does the same from the command line. A udev rule
lets the person at the desktop reach the unit without root. English and
German.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Strip as dh_strip does (plain strip leaves .comment and .note behind).
set(CPACK_PRE_BUILD_SCRIPTS ${norvo_pkg_dir}/Strip.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # norvo_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries dpkg-shlibdeps finds: Qt loads its platform plugins at
# run time (the window needs xcb or wayland), and "Arial" resolves to
# Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${norvo_pkg_dir}/postinst ${norvo_pkg_dir}/prerm ${norvo_pkg_dir}/postrm
    ${norvo_pkg_dir}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Qt's own texts (OK, Abbrechen, Strg+1) in the German console come from
# qt6-translations-l10n; without it they stay English.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# The binaries were compiled for this prefix (the Main.ini template's folder is
# built in): refuse to package a build configured for another one.
set(NORVO_BUILD_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
configure_file(${norvo_pkg_dir}/CPackProjectConfig.cmake.in ${norvo_gen_dir}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${norvo_gen_dir}/CPackProjectConfig.cmake)
include(CPack)
# Prometheus alerting rules for serve's metrics (README: Alerts).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/prometheus/norvo-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/norvo/prometheus)
