# The Debian package: its copyright and changelog files, installed by cmake --install too,
# and CPack's settings for cpack -G DEB. Included by the top-level CMakeLists.txt after the
# programs' install rules, whose files it packs.

# The licence as a machine-readable (DEP-5) copyright file, and a Debian changelog made
# from the version; its date honours SOURCE_DATE_EPOCH.
set(PACKAGE_NAME testvrn730)
set(PACKAGE_MAINTAINER "testVRN730 developers <maintainer@testvrn730.invalid>"
    CACHE STRING "The package's Maintainer: name <address>")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence " ${licence}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: testVRN730

Files: *
Copyright: 2026 testVRN730 developers
License: Expat
${licence}
")
string(TIMESTAMP packageDate "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/doc/changelog
"${PACKAGE_NAME} (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${PACKAGE_MAINTAINER}  ${packageDate}
")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP} -9n -c ${PROJECT_BINARY_DIR}/doc/changelog > ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PACKAGE_NAME})

set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_CONTACT ${PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test client for a device with a JSON-RPC API over HTTP")
set(CPACK_PACKAGE_DESCRIPTION
    "testVRN730 polls a networked device that serves a JSON-RPC style API over
HTTP and shows one live status line per reply, marking bad replies and failed
connections. testVRN730-watch runs it unattended, as a command or a systemd
service, logs every cycle in UTC, and reports and plots the outages.
device_sim plays such a device, well or in one of several faulty ways. A
small demonstration of C++ construction and destruction order, inheritance,
is installed beside them for teaching.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnuplot-nox | gnuplot, logrotate, prometheus")
# The package is installed with DESTDIR and the prefix /usr, so that the files above land
# in /lib and /etc; dpkg keeps the files changed in /etc across upgrades.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
file(WRITE ${PROJECT_BINARY_DIR}/deb/conffiles
     "/etc/logrotate.d/testvrn730-watch\n/etc/default/testvrn730-watch\n/etc/testvrn730/targets\n")
# The unit's user, made when the package is configured, where systemd is there to run it.
file(WRITE ${PROJECT_BINARY_DIR}/deb/postinst
"#!/bin/sh
set -e
if [ \"$1\" = configure ] && command -v systemd-sysusers >/dev/null 2>&1; then
    systemd-sysusers testvrn730-watch.conf
fi
")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/conffiles ${PROJECT_BINARY_DIR}/deb/postinst)
# Maintainer scripts 0755, the other control files 0644, whatever the umask made them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
