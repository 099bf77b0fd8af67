# The port configuration dialog (needs Widgets and a Qt platform).
if(TARGET vexora_commdialog)
    vexora_add_test(commdialog_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommConfigDialogTest.cpp
        LIBS vexora_commdialog vexora_component vexora_test_support
        LABELS gui)
endif()
