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
