# The Debian package (CPack, DEB generator): everything the project installs, under /usr. Run
# scripts/package.sh, or cpack -G DEB in a build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vexora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration tool for M-Bus electromagnetic flow meters")
# CPack indents the continuation lines of the long description itself.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads the settings of an electromagnetic flow meter over an M-Bus link on a\n"
    "serial port (a USB-to-M-Bus converter), writes them back register by register\n"
    "and resets the meter's main volume counter; vexora-cli does the same from a\n"
    "terminal and finds the meters on a line.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vexora developers <vexora@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link come from dpkg-shlibdeps; the windows are laid out for the
# metrics of Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
set(CPACK_STRIP_FILES ON)
include(CPack)
