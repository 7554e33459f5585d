# Install layout and the Debian package (cpack -G DEB).
#
#   sbin/zorvexsvr, sbin/kvauth, bin/zorvex
#   share/man/man8/zorvexsvr.8.gz, share/man/man8/kvauth.8.gz, share/man/man1/zorvex.1.gz
#   share/doc/zorvexsvr/: README.md, SECURITY.md, protocol.md, scaling.md,
#     performance.md, database.md, logging.md, metrics.md, copyright, changelog.Debian.gz,
#     examples/zorvexsvr.conf, examples/zorvexsvr.rules.yml (Prometheus alerting rules)
#   lib/systemd/system/zorvexsvr.service, lib/tmpfiles.d/zorvexsvr.conf
#   /etc/zorvexsvr.conf (a conffile), only when the prefix is /usr
#
# The server reads /etc/zorvexsvr.conf whatever the prefix, so an install
# under /usr/local leaves /etc alone and the administrator copies the example.
# systemd also looks for units and tmpfiles in /usr/local/lib.

include(GNUInstallDirs)

set(ZORVEX_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative: under the install prefix)")
set(ZORVEX_TMPFILESDIR "lib/tmpfiles.d" CACHE STRING
    "Where the tmpfiles.d entry goes (relative: under the install prefix)")

foreach(prog zorvexsvr kvauth)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
endforeach()
if(TARGET zorvex)
  install(TARGETS zorvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(ZORVEX_PKG_DIR ${CMAKE_SOURCE_DIR}/packaging)
# Manual pages and the Debian changelog are installed compressed (gzip -9n:
# no name or time stamp, so the package is reproducible).
set(ZORVEX_GZ_DIR ${CMAKE_BINARY_DIR}/packaging/gz)
install(CODE "
  file(MAKE_DIRECTORY \"${ZORVEX_GZ_DIR}\")
  foreach(f doc/man/zorvexsvr.8 doc/man/kvauth.8 doc/man/zorvex.1 packaging/debian/changelog)
    get_filename_component(n \${f} NAME)
    execute_process(COMMAND gzip -9n -c \"${CMAKE_SOURCE_DIR}/\${f}\"
                    OUTPUT_FILE \"${ZORVEX_GZ_DIR}/\${n}.gz\" RESULT_VARIABLE rc)
    if(rc)
      message(FATAL_ERROR \"gzip of \${f} failed\")
    endif()
  endforeach()
")
install(FILES ${ZORVEX_GZ_DIR}/zorvexsvr.8.gz ${ZORVEX_GZ_DIR}/kvauth.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${ZORVEX_GZ_DIR}/zorvex.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZORVEX_GZ_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME changelog.Debian.gz)
install(FILES ${ZORVEX_PKG_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${ZORVEX_PKG_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME zorvexsvr)
install(FILES ${ZORVEX_PKG_DIR}/zorvexsvr.conf ${ZORVEX_PKG_DIR}/zorvexsvr.rules.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/SECURITY.md
              ${CMAKE_SOURCE_DIR}/doc/protocol.md ${CMAKE_SOURCE_DIR}/doc/scaling.md
              ${CMAKE_SOURCE_DIR}/doc/logging.md ${CMAKE_SOURCE_DIR}/doc/metrics.md
              ${CMAKE_SOURCE_DIR}/doc/performance.md ${CMAKE_SOURCE_DIR}/doc/database.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${ZORVEX_PKG_DIR}/zorvexsvr.tmpfiles DESTINATION ${ZORVEX_TMPFILESDIR}
        RENAME zorvexsvr.conf)

# The unit names the server by its installed path. CPack installs with its
# own prefix (/usr), so the path is filled in at install time, not here.
if(IS_ABSOLUTE "${CMAKE_INSTALL_SBINDIR}")
  set(ZORVEX_SBINDIR_EXPR "${CMAKE_INSTALL_SBINDIR}")
else()
  set(ZORVEX_SBINDIR_EXPR "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}")
endif()
install(CODE "
  set(ZORVEX_SBINDIR \"${ZORVEX_SBINDIR_EXPR}\")
  configure_file(\"${ZORVEX_PKG_DIR}/zorvexsvr.service.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/zorvexsvr.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/zorvexsvr.service DESTINATION ${ZORVEX_SYSTEMD_UNITDIR})

# With prefix /usr (the package, or a distribution-style install) the example
# also becomes /etc/zorvexsvr.conf, unless one is there already.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" AND NOT EXISTS \"\$ENV{DESTDIR}/etc/zorvexsvr.conf\")
    file(INSTALL \"${ZORVEX_PKG_DIR}/zorvexsvr.conf\" DESTINATION \"/etc\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

# ---- Debian package ----
set(CPACK_PACKAGE_NAME zorvexsvr)
set(CPACK_PACKAGE_VERSION "1.1e")
set(CPACK_PACKAGE_CONTACT
    "zorvexsvr maintainers <maintainers@users.noreply.c-seed-ef33fd15.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network authentication server for mail systems")
set(CPACK_PACKAGE_DESCRIPTION "\
zorvexsvr answers mail servers over TCP whether a user name and password
are valid, what is stored about a user, and adds, changes, blocks and
deletes users. Connections are enciphered with a shared secret. Requests
are answered from the server's own flat-file user database or by a pool
of authenticator processes such as kvauth, the same engine as a program.
The package also holds zorvex, the command-line client.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(ZORVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
# passwd: postinst creates the system user with useradd.
if(ZORVEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libargon2-1 (>= 0~20171227), libc6 (>= 2.34), libcrypt1 (>= 1:4.1.0), libgcc-s1 (>= 3.0), libssl3 (>= 3.0.0), libstdc++6 (>= 12), passwd")
endif()

file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/zorvexsvr.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles
    ${ZORVEX_PKG_DIR}/debian/postinst
    ${ZORVEX_PKG_DIR}/debian/prerm
    ${ZORVEX_PKG_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
