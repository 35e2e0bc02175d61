# Install layout and the Debian package; included by the top-level CMakeLists.txt. The sandbox,
# the settings stand-in and the tests are not installed.
#
# The engines, their signatures and the log are the service's fixed paths. Everything else goes
# under the install prefix, as `cmake --install --prefix X` asks; the unit and the logrotate file
# go beside the prefix when it is a ".../usr", so that /usr gives Debian's /lib and /etc.

set(SNX_ENGINE_DIR ${SNX_AH_ENGINE_DIR})
set(SNX_RIS_DIR ${SNX_RIS_ENGINE_DIR})
install(TARGETS velmar-sentinex-scanner RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS avcore LIBRARY DESTINATION ${SNX_ENGINE_DIR})
install(TARGETS lame LIBRARY DESTINATION ${SNX_RIS_DIR})
install(FILES signatures/starter.ndb DESTINATION ${SNX_ENGINE_DIR})
install(FILES signatures/malware.yar DESTINATION ${SNX_RIS_DIR} RENAME malware.rmd)
# Signature updates: freshclam as clamav, then a copy that only root can change for the scanner;
# and the command that compiles a YARA rules directory into the Ris engine's rule file.
install(PROGRAMS scripts/velmar-sentinex-publish-clamav DESTINATION lib/velmar-sentinex-scanner)
install(PROGRAMS scripts/velmar-sentinex-compile-rules DESTINATION ${CMAKE_INSTALL_SBINDIR})

set(SNX_DATA ${CMAKE_SOURCE_DIR}/data)
install(FILES ${SNX_DATA}/com.velmar.sentinex.scanner.conf DESTINATION share/dbus-1/system.d)
install(FILES ${SNX_DATA}/com.velmar.sentinex.scanner.service
    DESTINATION share/dbus-1/system-services)
install(FILES ${SNX_INTERFACE_XML} DESTINATION share/dbus-1/interfaces)
install(FILES ${SNX_DATA}/velmar-sentinex-cli.bash-completion
    DESTINATION share/bash-completion/completions RENAME velmar-sentinex-cli)
install(FILES ${SNX_DATA}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Man pages and the changelog ship compressed, reproducibly (no name or time in the header).
set(snx_compressed)
foreach(source man/velmar-sentinex-cli.1 man/velmar-sentinex-scanner.8 debian/changelog)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_BINARY_DIR}/data/${name}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/data
        COMMAND gzip -9nc ${SNX_DATA}/${source} > ${output}
        DEPENDS ${SNX_DATA}/${source} VERBATIM)
    list(APPEND snx_compressed ${output})
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${snx_compressed})
install(FILES ${CMAKE_BINARY_DIR}/data/velmar-sentinex-cli.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/data/velmar-sentinex-scanner.8.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/data/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${SNX_DATA}/debian/lintian-overrides DESTINATION share/lintian/overrides
    RENAME velmar-sentinex-scanner)

# The prefix is known only at install time (`--prefix`, or CPack's staging directory).
install(CODE "
    string(REGEX REPLACE \"/usr/?$\" \"\" snx_root \"\${CMAKE_INSTALL_PREFIX}\")
    file(INSTALL DESTINATION \"\${snx_root}/lib/systemd/system\" TYPE FILE
        FILES \"${SNX_DATA}/velmar-sentinex-scanner.service\"
              \"${SNX_DATA}/velmar-sentinex-freshclam.service\"
              \"${SNX_DATA}/velmar-sentinex-freshclam.timer\")
    file(INSTALL DESTINATION \"\${snx_root}/etc/velmar-sentinex\" TYPE FILE
        FILES \"${SNX_DATA}/freshclam.conf\")
    file(INSTALL DESTINATION \"\${snx_root}/etc/logrotate.d\" TYPE FILE
        FILES \"${SNX_DATA}/velmar-sentinex-scanner.logrotate\"
        RENAME velmar-sentinex-scanner)
")

set(CPACK_PACKAGE_NAME velmar-sentinex-scanner)
set(CPACK_PACKAGE_CONTACT "Velmar Sentinex developers <dev@velmar.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virus-scanning service of the Velmar Sentinex suite")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The Velmar Sentinex scanner runs as one root service on the D-Bus system\n"
    "bus. The suite's programs hand it files and directories, which it scans\n"
    "with the Ah engine (ClamAV databases, through libclamav) or the Ris engine\n"
    "(YARA rules). It reports progress and detections as D-Bus signals, and\n"
    "moves detected files into a quarantine and back on request.\n"
    "\n"
    "This package holds the service, both engines with the EICAR test\n"
    "signatures, the command-line client velmar-sentinex-cli, the bus policy\n"
    "and activation file, a hardened systemd unit and a logrotate\n"
    "configuration.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the engines are the package's own private
# libraries. The rest is what the service uses without linking it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus, libqt5sql5-sqlite, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "clamav-freshclam, yara")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${SNX_DATA}/debian/postinst ${SNX_DATA}/debian/prerm ${SNX_DATA}/debian/postrm
    ${SNX_DATA}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped binaries; scripts/package puts their debug symbols into a -dbgsym package (CPack's
# own writes md5sums with the paths of its staging directory).
set(CPACK_STRIP_FILES ON)
include(CPack)
