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
foreach(_header AfExceptions.h AfObject.h AfSmallSet.h platform/AfComMapping.h platform/AfWin.h
                platform/AfWinTypes.h platform/Dcb.h AfApplicationException.h AfSafeSync.h AfCircularBuffer.h AfComPortCore.h
                AfLineSettings.h AfThread.h AfUtils.h AfComponent.h AfComPort.h AfDataDispatcher.h
                AfEventSlot.h AfDataDispConnComponent.h AfCommConfigDialog.h AfPortControls.h)
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
