# The main window's port link: the start-up choice of the port and the exchange's wait, on
# pseudo-terminals and a device that holds writes back (needs the app and a Qt platform).
if(TARGET vexora_app)
    vexora_add_test(test_app_link
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/FormLinkTest.cpp
                ${PROJECT_SOURCE_DIR}/tests/toolkit/ToolkitTestApp.cpp
        LIBS vexora_app vexora_test_support
        LABELS gui)
    target_include_directories(test_app_link PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolkit)
endif()
