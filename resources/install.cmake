# What `cmake --install BUILD --prefix PREFIX` puts where: the programs with their deployment
# file beside them (the programs look for deploy.ini in their own folder), the desktop entry and
# the icons in the hicolor theme.
include(GNUInstallDirs)
install(TARGETS mirt mirt-tracker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tessali)
  install(TARGETS tessali RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/deploy.ini DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/org.tessali.Downloader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/org.tessali.Downloader.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/org.tessali.Downloader.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# `cpack -G DEB` in the build folder packs the same tree under /usr as a Debian package. The
# programs keep looking for deploy.ini in their own folder, so it goes to /usr/bin beside them.
# The dependencies are read from the libraries the programs actually link (dpkg-shlibdeps).
set(CPACK_PACKAGE_NAME tessali)
set(CPACK_PACKAGE_VENDOR "Tessali")
set(CPACK_PACKAGE_CONTACT "Tessali developers <dev@tessali.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tessali game-client downloader with its own peer-to-peer engine")
set(CPACK_PACKAGE_DESCRIPTION
    "Downloads the Tessali game client from peers (engine tracker, BitTorrent trackers, LAN search,\
 TCP and reliable UDP) and HTTP sources, with resume across restarts. Includes the desktop program,\
 the mirt command-line front-end and the reference engine tracker.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
if(TARGET tessali)
  # Loaded at run time, so dpkg-shlibdeps cannot see them: the window system plugin and a font
  # with the program's Chinese texts.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
endif()
include(CPack)
