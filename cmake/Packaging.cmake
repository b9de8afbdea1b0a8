if(WIN32)
    # Windows: one zip, zkflash-<version>-windows-x64.zip, with the program,
    # a README for Windows users and the licence (scripts/package).
    install(TARGETS zkflash-cli RUNTIME DESTINATION .)
    install(FILES ${CMAKE_SOURCE_DIR}/share/README-windows.txt DESTINATION . RENAME README.txt)
    install(FILES ${CMAKE_SOURCE_DIR}/share/copyright DESTINATION share RENAME copyright.txt)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME zkflash)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
    set(CPACK_PACKAGE_FILE_NAME zkflash-${PROJECT_VERSION}-windows-x64)
    set(CPACK_STRIP_FILES ON)
    include(CPack)
    return()
endif()

# The Debian package: build/zkflash_<version>_<arch>.deb (scripts/package).
set(ZK_PACKAGE_MAINTAINER "ZK Firmware Loader developers <zkflash@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zkflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for a wireless controller's radio units")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ZK Firmware Loader loads a firmware image into the transmitter or receiver\n"
    "unit of a wireless controller over a USB-to-serial adapter: it resets the\n"
    "unit, wakes its serial bootloader, sends the image with YMODEM and starts\n"
    "the new application.\n"
    "\n"
    "The package holds the window (zkflash), a command-line loader for scripts\n"
    "(zkflash-cli), a virtual unit for trying both without hardware (zkunit-sim),\n"
    "and a udev rule that gives the user at the computer access to the units'\n"
    "FTDI adapters and keeps ModemManager away from them.")
# CPack puts the summary in front as the synopsis line.
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # zkflash_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
