# The main window's decoding operations (needs the app and a Qt platform).
if(TARGET vexora_app)
    vexora_add_test(test_decode_form
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/DecodeFormTest.cpp
        LIBS vexora_app LABELS gui)
endif()
