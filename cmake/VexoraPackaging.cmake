# The Debian packages (CPack, DEB generator), one per install component, under /usr. Run
# scripts/package.sh, or cpack -G DEB in a build folder.
#   Tool       vexora: the configuration tool, the meter simulator where the project has it, the
#              desktop entry (every install rule that names no component)
#   SerialDev  libvexora-serial-dev: the serial component's headers, static libraries, CMake
#              package, pkg-config files and the examples' sources
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vexora")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vexora developers <vexora@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Tool)
if(TARGET vexora_core)
    list(APPEND CPACK_COMPONENTS_ALL SerialDev)
endif()
# The libraries the programs link come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vexora)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
# CPack indents the continuation lines of the long description itself.
string(CONCAT CPACK_DEBIAN_TOOL_DESCRIPTION
    "Configuration tool for M-Bus electromagnetic flow meters\n"
    "Reads the settings of an electromagnetic flow meter over an M-Bus link on a\n"
    "serial port (a USB-to-M-Bus converter), writes them back register by register\n"
    "and resets the meter's main volume counter; vexora-cli does the same from a\n"
    "terminal and finds the meters on a line.")
# The windows are laid out for the metrics of Liberation Sans.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "fonts-liberation2")

# A -dev package of static libraries, as Debian names them; what its users build with comes from
# qt6-base-dev (Qt6 Core and Widgets: CMake packages, pkg-config files, headers).
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_NAME libvexora-serial-dev)
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_DEPENDS "qt6-base-dev")
string(CONCAT CPACK_DEBIAN_SERIALDEV_DESCRIPTION
    "Asynchronous serial-port component for Qt 6 programs (development files)\n"
    "The serial-port component of Vexora: a port core with an event thread and a\n"
    "write thread, a transmit ring, a notification channel to the user-interface\n"
    "thread, the port component with its line settings and events, a data\n"
    "dispatcher link and a port selection box. Static libraries, headers, a CMake\n"
    "package (VexoraSerial), pkg-config files and example programs.")
include(CPack)
