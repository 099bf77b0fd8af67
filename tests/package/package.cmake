# Packs this build tree with CPack and checks the package: its files, its control fields and its
# desktop entry. The meter simulator is expected where the project builds it.
set(_package_files ./usr/bin/vexora ./usr/share/applications/vexora.desktop
                   ./usr/share/icons/hicolor/scalable/apps/vexora.svg)
if(TARGET vexora-cli)
    list(APPEND _package_files ./usr/bin/vexora-cli ./usr/share/man/man1/vexora-cli.1.gz)
endif()
if(TARGET vexora-meter-sim)
    list(APPEND _package_files ./usr/bin/vexora-meter-sim)
endif()
add_test(NAME package.contents
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckPackage.sh ${CMAKE_BINARY_DIR} ${_package_files})
set_tests_properties(package.contents PROPERTIES LABELS package TIMEOUT 600)
