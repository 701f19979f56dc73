# Installation and the Debian package: the two executables, their manual pages
# and the documentation. `cmake --install build/default` puts them under the
# prefix; `cpack --config build/default/CPackConfig.cmake` makes the .deb.
include(GNUInstallDirs)
# Debian keeps a package's documentation under its package name.
set(DEVEDA_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/deveda")

install(TARGETS DEVeda devedactl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/settings.md ${CMAKE_SOURCE_DIR}/docs/json.md
        DESTINATION ${DEVEDA_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/json DESTINATION ${DEVEDA_DOCDIR})
add_subdirectory(${CMAKE_SOURCE_DIR}/docs/man ${CMAKE_BINARY_DIR}/docs/man)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "deveda")
set(CPACK_PACKAGE_VENDOR "DEVeda")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Mass-production station tool for USB4/USB3-to-NVMe bridge drives")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "DEVeda developers <deveda@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dosfstools, ntfs-3g, exfatprogs")
include(CPack)
