# Read, Write and Reset of the main window end to end against the meter simulator (needs the app
# and a Qt platform). Each test runs real exchanges with their fixed waits, some seconds each.
if(TARGET vexora_app AND TARGET vexora_sim)
    vexora_add_test(test_app_operations
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/OperationsTest.cpp
                ${PROJECT_SOURCE_DIR}/tests/sim/SimTestSupport.cpp
                ${PROJECT_SOURCE_DIR}/tests/toolkit/ToolkitTestApp.cpp
        LIBS vexora_app vexora_sim vexora_test_support Qt6::Test
        LABELS gui
        TIMEOUT 90)
    target_include_directories(test_app_operations
        PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolkit ${PROJECT_SOURCE_DIR}/tests/sim)
endif()
