# Warnings as errors for the project's own code.
function(vexora_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()

# The tests' own code builds quickly: line tables are enough for a failure's backtrace, and the
# code under test keeps the optimisation of its preset.
set(VEXORA_TEST_CODE_OPTIONS -g1 $<$<CONFIG:RelWithDebInfo,Release>:-O1> $<$<CONFIG:Debug>:-O0>)

# vexora_add_test(NAME SOURCES ... LIBS ... LABELS label [TIMEOUT s])
# One GoogleTest executable; every test of it becomes a CTest test with the given labels. Every
# test executable starts with the machine's own serial ports switched off (TestEnvironment.cpp).
function(vexora_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/TestEnvironment.cpp)
    vexora_warnings(${name})
    target_compile_options(${name} PRIVATE ${VEXORA_TEST_CODE_OPTIONS})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    # The properties reach the discovered tests as one flat list of names and values, so every
    # value must be a single item: one label, one variable per environment property.
    list(LENGTH ARG_LABELS _label_count)
    if(NOT _label_count EQUAL 1)
        message(FATAL_ERROR "vexora_add_test(${name}): give exactly one label")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS ${ARG_LABELS} TIMEOUT ${ARG_TIMEOUT}
                   ENVIRONMENT "VEXORA_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
                   ENVIRONMENT_MODIFICATION "QT_QPA_PLATFORM=set:offscreen")
endfunction()

# vexora_public_headers(BASE_DIR dir FILES header...)
# Headers of the serial component that its users include, as <vexora/serial/PATH> where PATH is
# the header's path below BASE_DIR. `cmake --install` puts them under include/vexora/serial/
# (component SerialDev); in the build tree they are linked under include/vexora/serial/ of the
# build folder, which every layer puts on its users' include path, so that code inside the tree
# spells them as a user outside does. Each PATH is recorded in the global property
# VEXORA_PUBLIC_HEADERS, from which the package check takes the headers it expects installed.
function(vexora_public_headers)
    cmake_parse_arguments(ARG "" "BASE_DIR" "FILES" ${ARGN})
    cmake_path(NORMAL_PATH ARG_BASE_DIR)
    foreach(_file IN LISTS ARG_FILES)
        cmake_path(ABSOLUTE_PATH _file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
        cmake_path(RELATIVE_PATH _file BASE_DIRECTORY ${ARG_BASE_DIR} OUTPUT_VARIABLE _relative)
        cmake_path(GET _relative PARENT_PATH _folder)
        install(FILES ${_file} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexora/serial/${_folder}
                COMPONENT SerialDev)
        file(MAKE_DIRECTORY ${VEXORA_STAGED_INCLUDE_DIR}/vexora/serial/${_folder})
        file(CREATE_LINK ${_file} ${VEXORA_STAGED_INCLUDE_DIR}/vexora/serial/${_relative} SYMBOLIC)
        set_property(GLOBAL APPEND PROPERTY VEXORA_PUBLIC_HEADERS ${_relative})
    endforeach()
endfunction()
