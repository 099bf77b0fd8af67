# The main window's decoding operations (needs the app and a Qt platform).
if(TARGET vexora_app)
    vexora_add_test(test_decode_form
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/DecodeFormTest.cpp
                ${PROJECT_SOURCE_DIR}/tests/toolkit/ToolkitTestApp.cpp
        LIBS vexora_app LABELS gui)
    target_include_directories(test_decode_form PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolkit)
endif()
