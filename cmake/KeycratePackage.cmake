# The Debian package: cpack -G DEB in the build folder makes
# keycrate_<version>_amd64.deb.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
keycrate_install_gzipped(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${CMAKE_INSTALL_DOCDIR}
                         RENAME changelog)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keycrate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "keycrate developers")
set(CPACK_PACKAGE_CONTACT "keycrate developers <developers@keycrate.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lock files and back them up online")
set(CPACK_PACKAGE_DESCRIPTION
    "keycrate locks files by holding them open, remembers the locks across
restarts, publishes the list of locked files to other programs and backs
chosen files up to an online backup server. It sits in the system tray, and
file managers offer to lock a file with it or to back it up.
.
The package also holds keycrate-send, which hands files to the running
keycrate, keycrate-lockd, a small root service started by its socket that
makes locked files immutable, so that no program can change, rename or delete
them, and quorvane-server, a backup server with a systemd service of its own.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.keycrate.org)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Found at run time, so no library dependency names them: the platform
# plugins the window needs, and the user database tools the service's user
# is made with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-nautilus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/postinst
                                       ${PROJECT_SOURCE_DIR}/cmake/deb/prerm
                                       ${PROJECT_SOURCE_DIR}/cmake/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
