# The port configuration dialog (needs Widgets and a Qt platform).
if(TARGET vexora_widgets)
    vexora_add_test(commdialog_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommConfigDialogTest.cpp
        LIBS vexora_widgets vexora_test_support vexora_component_test_support
        LABELS gui)
endif()
