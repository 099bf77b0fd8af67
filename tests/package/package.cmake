# Packs this build tree with CPack and checks both packages: the tool's (its files, control fields
# and desktop entry; the meter simulator is expected where the project builds it) and the serial
# component's -dev package (its files, control fields, and that its CMake package and pkg-config
# files are found where it is unpacked).
set(_tool_files ./usr/bin/vexora ./usr/share/applications/vexora.desktop
                ./usr/share/icons/hicolor/scalable/apps/vexora.svg)
if(TARGET vexora-cli)
    list(APPEND _tool_files ./usr/bin/vexora-cli ./usr/share/man/man1/vexora-cli.1.gz)
endif()
if(TARGET vexora-meter-sim)
    list(APPEND _tool_files ./usr/bin/vexora-meter-sim)
endif()

string(TOLOWER "${CMAKE_BUILD_TYPE}" _config)
set(_lib ./usr/${CMAKE_INSTALL_LIBDIR})
set(_include ./usr/include/vexora/serial)
set(_dev_files)
# The public headers, as the layers name them (vexora_public_headers).
get_property(_public_headers GLOBAL PROPERTY VEXORA_PUBLIC_HEADERS)
foreach(_header IN LISTS _public_headers)
    list(APPEND _dev_files ${_include}/${_header})
endforeach()
foreach(_layer platform channel core component widgets)
    list(APPEND _dev_files ${_lib}/libvexora-serial-${_layer}.a ${_lib}/pkgconfig/vexora-serial-${_layer}.pc)
endforeach()
foreach(_file VexoraSerialConfig.cmake VexoraSerialConfigVersion.cmake VexoraSerialTargets.cmake
              VexoraSerialTargets-${_config}.cmake VexoraSerialWidgetsTargets.cmake
              VexoraSerialWidgetsTargets-${_config}.cmake)
    list(APPEND _dev_files ${_lib}/cmake/VexoraSerial/${_file})
endforeach()
foreach(_file CMakeLists.txt vexora-linelog.cpp vexora-portwindow.cpp vexora-term.cpp)
    list(APPEND _dev_files ./usr/share/doc/libvexora-serial-dev/examples/${_file})
endforeach()

# The file lists and control fields are the same in every build, so this runs once, in the builds
# without a sanitizer.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    add_test(NAME package.contents
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckPackage.sh ${CMAKE_BINARY_DIR} ${_tool_files}
                     -- ${_dev_files})
    # Both tests install from this build tree, one at a time.
    set_tests_properties(package.contents PROPERTIES LABELS package TIMEOUT 600 RESOURCE_LOCK vexora_install)
endif()

# The serial component used from outside: installed, built against, run (CheckConsumer.sh).
add_test(NAME package.consumer
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckConsumer.sh ${CMAKE_BINARY_DIR}
                 $<TARGET_FILE:vexora-meter-sim> ${CMAKE_CXX_COMPILER} "${CMAKE_CXX_FLAGS}"
                 "${CMAKE_EXE_LINKER_FLAGS}")
set_tests_properties(package.consumer PROPERTIES LABELS package TIMEOUT 600 RESOURCE_LOCK vexora_install)

# The private headers of the serial component cannot be included from app/, cli/ or sim/: the
# check compiles one-line units with the include folders of those programs. The result does not
# depend on a sanitizer, so it runs in the builds without one.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(_outside_includes $<TARGET_PROPERTY:vexora_app,INCLUDE_DIRECTORIES>
                          $<TARGET_PROPERTY:vexora-cli,INCLUDE_DIRECTORIES>
                          $<TARGET_PROPERTY:vexora-meter-sim,INCLUDE_DIRECTORIES>)
    add_test(NAME package.private_headers_unreachable
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckPrivateHeaders.sh ${PROJECT_SOURCE_DIR}
                     ${CMAKE_CXX_COMPILER} "$<REMOVE_DUPLICATES:${_outside_includes}>"
             COMMAND_EXPAND_LISTS)
    set_tests_properties(package.private_headers_unreachable PROPERTIES LABELS package TIMEOUT 60)
endif()
