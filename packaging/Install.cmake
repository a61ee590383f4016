# The installed program: the executable, its menu entry, its icon and its
# manual page in the usual places, and a Debian package of the same (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS Quillmar2012 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmar2012.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmar2012.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/Quillmar2012.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME quillmar2012)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_VENDOR "Quillmar 2012")
set(CPACK_PACKAGE_CONTACT "Quillmar 2012 maintainers <quillmar2012@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Writes a music catalogue's song details into MP3 files as ID3v2.3 tags")
set(CPACK_PACKAGE_DESCRIPTION
    "Lists the songs of a music catalogue kept in a Firebird database and writes each song's catalogue values into its MP3 file.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The Qt, Firebird client and TagLib libraries the program links, the
# window system plugins (in libqt6gui6), and the engine that opens a
# catalogue file directly (embedded, without a server).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), libfbclient2 (>= 3.0), firebird3.0-server-core (>= 3.0), libtag1v5 (>= 1.13), libstdc++6 (>= 12), libgcc-s1, libc6 (>= 2.36)")
include(CPack)
