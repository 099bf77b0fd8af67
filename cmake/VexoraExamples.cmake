# The serial component's examples: their sources go into the -dev package, and with
# VEXORA_BUILD_EXAMPLES they are built here against the in-tree targets (the same names the
# installed package gives), with the project's warnings.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvexora-serial-dev/examples COMPONENT SerialDev
        FILES_MATCHING PATTERN "*.cpp" PATTERN "CMakeLists.txt")
if(VEXORA_BUILD_EXAMPLES)
    add_subdirectory(examples)
    get_property(_example_targets DIRECTORY examples PROPERTY BUILDSYSTEM_TARGETS)
    foreach(_target IN LISTS _example_targets)
        vexora_warnings(${_target})
    endforeach()
endif()
