# The serial component as a library for other projects: `cmake --install` (component SerialDev)
# puts the public headers under include/vexora/serial/ (each layer names its own with
# vexora_public_headers), the static libraries, a CMake package (find_package(VexoraSerial CONFIG))
# and one pkg-config file per library.
#
# A user takes one of three targets, each bringing the layers below it:
#   Vexora::SerialCore       base, platform, channel and core: no Qt Widgets (QtCore inside)
#   Vexora::SerialComponent  the component base, TAfComPort and the data dispatcher
#   Vexora::SerialWidgets    the port box and the port settings dialog (Qt Widgets)
# Inside this tree the same names are ALIAS targets, so the examples build either way.
#
# The libraries are static: the headers carry classes with inline members and std types whose
# layout is not promised from one version to the next (0.x), so a shared library would need an
# ABI kept stable under a SONAME and a runtime package of its own, for little gain.
include(CMakePackageConfigHelpers)

set(_layers base platform channel core component)
set(_names SerialBase SerialPlatform SerialChannel SerialCore SerialComponent)
if(TARGET vexora_widgets)
    list(APPEND _layers widgets)
    list(APPEND _names SerialWidgets)
endif()
foreach(_layer _name IN ZIP_LISTS _layers _names)
    set(_target vexora_${_layer})
    add_library(Vexora::${_name} ALIAS ${_target})
    set_target_properties(${_target} PROPERTIES EXPORT_NAME ${_name})
    # The public headers need C++20 (AfSmallSet.h's defaulted comparison, among others): every
    # target brings the standard to its users, so that a program that sets none builds.
    if(_layer STREQUAL "base")
        target_compile_features(${_target} INTERFACE cxx_std_20)
    else()
        target_compile_features(${_target} PUBLIC cxx_std_20)
        # A user may link the archives into a shared library of their own: position-independent
        # code, and hidden visibility, so that such a library exports the component's public API
        # only (what VEXORA_SERIAL_API marks, AfExport.h), not its insides. Executables that link
        # the archives, the tests among them, reach every symbol as before.
        set_target_properties(${_target} PROPERTIES OUTPUT_NAME vexora-serial-${_layer}
                                                    POSITION_INDEPENDENT_CODE ON
                                                    CXX_VISIBILITY_PRESET hidden
                                                    VISIBILITY_INLINES_HIDDEN ON)
    endif()
endforeach()

set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VexoraSerial)
set(_targets_common
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT SerialDev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The widgets go into an export set of their own, which the package loads only when Qt Widgets
# is there, so that a user of the core needs no Qt Widgets.
install(TARGETS vexora_base vexora_platform vexora_channel vexora_core vexora_component
        EXPORT VexoraSerialTargets ${_targets_common})
install(EXPORT VexoraSerialTargets NAMESPACE Vexora:: DESTINATION ${_cmake_dir} COMPONENT SerialDev)
if(TARGET vexora_widgets)
    install(TARGETS vexora_widgets EXPORT VexoraSerialWidgetsTargets ${_targets_common})
    install(EXPORT VexoraSerialWidgetsTargets NAMESPACE Vexora:: DESTINATION ${_cmake_dir}
            COMPONENT SerialDev)
endif()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VexoraSerialConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/VexoraSerialConfig.cmake
                              INSTALL_DESTINATION ${_cmake_dir})
# 0.x: a new minor version may change the interface, so only the same minor version will do.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VexoraSerialConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VexoraSerialConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VexoraSerialConfigVersion.cmake
        DESTINATION ${_cmake_dir} COMPONENT SerialDev)

# pkg-config: one file per library, each requiring the libraries below it, so that
# `pkg-config --libs` lists every archive in link order. The prefix is taken from where the file
# lies (${pcfiledir}), so that an installed tree can be moved, or unpacked anywhere.
function(_vexora_pkgconfig layer description requires)
    set(PC_NAME vexora-serial-${layer})
    set(PC_DESCRIPTION "${description}")
    set(PC_REQUIRES "${requires}")
    set(PC_LIBS "-L\${libdir} -lvexora-serial-${layer}")
    if(layer STREQUAL "platform")
        string(APPEND PC_LIBS " -pthread")
    endif()
    # Qt as Debian builds it (reduce-relocations) needs position-independent code in every program
    # that uses it: built as a position-independent executable (gcc's default) the program reads
    # its own copy of Qt's data, so qApp is null. Qt's CMake targets add -fPIC themselves, its
    # pkg-config files do not; the layers that bring Qt add it here, and the layers above get it
    # through Requires. lintian objects to -fPIC in a .pc file; the -dev package overrides that,
    # with this reason (cmake/debian/libvexora-serial-dev.lintian-overrides).
    set(PC_CFLAGS "")
    if(requires MATCHES "Qt6")
        set(PC_CFLAGS " -fPIC")
    endif()
    set(PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
    set(PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
    set(PC_VERSION ${PROJECT_VERSION})
    # From lib/pkgconfig (or lib/<multiarch>/pkgconfig) back to the prefix.
    cmake_path(APPEND CMAKE_INSTALL_LIBDIR pkgconfig OUTPUT_VARIABLE _pcdir)
    string(REGEX REPLACE "[^/]+" ".." PC_TO_PREFIX ${_pcdir})
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vexora-serial.pc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${PC_NAME}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${PC_NAME}.pc
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT SerialDev)
endfunction()
_vexora_pkgconfig(platform "Vexora serial: the comm platform (Win32 comm names on POSIX)" "")
_vexora_pkgconfig(channel "Vexora serial: thread-to-main notification channel"
                  "vexora-serial-platform Qt6Core")
_vexora_pkgconfig(core "Vexora serial: port core with event and write threads"
                  "vexora-serial-channel vexora-serial-platform")
_vexora_pkgconfig(component "Vexora serial: port component TAfComPort and data dispatcher"
                  "vexora-serial-core")
if(TARGET vexora_widgets)
    _vexora_pkgconfig(widgets "Vexora serial: port selection box and port settings dialog"
                      "vexora-serial-component Qt6Widgets")
endif()

# The programmer's guide and the HTML reference go with the -dev package, under
# share/doc/libvexora-serial-dev. The reference is built with the component, by scripts/docs.sh
# (Doxygen); a Doxygen warning shows here and fails the test docs.reference, not the build.
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvexora-serial-dev)
install(FILES ${PROJECT_SOURCE_DIR}/docs/serial-component.md DESTINATION ${_docdir} COMPONENT SerialDev)
find_program(VEXORA_DOXYGEN doxygen)
if(VEXORA_DOXYGEN)
    get_property(_headers GLOBAL PROPERTY VEXORA_PUBLIC_HEADERS)
    list(TRANSFORM _headers PREPEND ${VEXORA_STAGED_INCLUDE_DIR}/vexora/serial/)
    set(_reference ${CMAKE_BINARY_DIR}/reference)
    add_custom_command(OUTPUT ${_reference}/html/index.html
                       COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/docs.sh ${_reference} --warnings-pass
                       DEPENDS ${PROJECT_SOURCE_DIR}/scripts/docs.sh ${PROJECT_SOURCE_DIR}/docs/Doxyfile
                               ${PROJECT_SOURCE_DIR}/docs/serial-component.md
                               ${PROJECT_SOURCE_DIR}/serial/core/AfVersion.h.in ${_headers}
                       COMMENT "The serial component's reference (Doxygen)"
                       VERBATIM)
    add_custom_target(vexora_serial_reference ALL DEPENDS ${_reference}/html/index.html)
    install(DIRECTORY ${_reference}/html/ DESTINATION ${_docdir}/reference COMPONENT SerialDev)
else()
    message(WARNING "doxygen not found: libvexora-serial-dev is made without its reference "
                    "(bash scripts/install-deps.sh installs it)")
endif()
