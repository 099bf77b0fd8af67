# The two windows (needs the app and a Qt platform).
if(VEXORA_BUILD_APP)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    vexora_add_test(test_app_forms
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/FormsTest.cpp
                ${PROJECT_SOURCE_DIR}/tests/toolkit/ToolkitTestApp.cpp
        LIBS vexora_app Qt6::Test
        LABELS gui)
    target_include_directories(test_app_forms PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolkit)
endif()
