# The Debian packages (CPack, DEB generator), one per install component, under /usr. Run
# scripts/package.sh, or cpack -G DEB in a build folder.
#   Tool       vexora: the configuration tool, the meter simulator where the project has it, the
#              desktop entry (every install rule that names no component)
#   SerialDev  libvexora-serial-dev: the serial component's headers, static libraries, CMake
#              package, pkg-config files, the examples' sources, the guide and the reference
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

# The packages' version is the project's with a Debian revision, both from the top entry of
# cmake/debian/changelog ("vexora (<project version>-<revision>) ..."), which both packages ship
# compressed (changelog.Debian.gz), beside their copyright file: a new project version needs a
# new entry there.
set(_debian ${PROJECT_SOURCE_DIR}/cmake/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_debian}/changelog)
file(STRINGS ${_debian}/changelog _top LIMIT_COUNT 1)
if(NOT _top MATCHES "^vexora \\(([^ )-]+)-([^ )]+)\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the top entry names no version with a revision: ${_top}")
elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "cmake/debian/changelog: the top entry is for ${CMAKE_MATCH_1}, the project is "
                        "${PROJECT_VERSION}: add an entry for it")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
# Compressed as Debian wants it, and reproducibly (no name, no time stamp).
set(_changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9n -c ${_debian}/changelog OUTPUT_FILE ${_changelog} COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${_debian}/copyright ${_changelog} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexora
        COMPONENT Tool)
if(TARGET vexora_core)
    install(FILES ${_debian}/copyright ${_changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvexora-serial-dev COMPONENT SerialDev)
    # What lintian reports on purpose, each with its reason (the -fPIC of the .pc files).
    install(FILES ${_debian}/libvexora-serial-dev.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libvexora-serial-dev
            COMPONENT SerialDev)
endif()

# A -dev package of static libraries, as Debian names them; what its users build with comes from
# qt6-base-dev (Qt6 Core and Widgets: CMake packages, pkg-config files, headers).
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_NAME libvexora-serial-dev)
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_DEPENDS "qt6-base-dev")
# Static archives and text only: nothing for dpkg-shlibdeps, whose file-by-file look at the
# reference's hundreds of pages would cost seconds.
set(CPACK_DEBIAN_SERIALDEV_PACKAGE_SHLIBDEPS OFF)
string(CONCAT CPACK_DEBIAN_SERIALDEV_DESCRIPTION
    "Asynchronous serial-port component for Qt 6 programs (development files)\n"
    "The serial-port component of Vexora: a port core with an event thread and a\n"
    "write thread, a transmit ring, a notification channel to the user-interface\n"
    "thread, the port component with its line settings and events, a data\n"
    "dispatcher link and a port selection box. Static libraries, headers, a CMake\n"
    "package (VexoraSerial), pkg-config files, example programs, the programmer's\n"
    "guide and the HTML reference.")
include(CPack)
