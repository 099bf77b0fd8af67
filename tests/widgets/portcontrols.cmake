# The port selection box (needs Widgets and a Qt platform).
if(TARGET vexora_widgets)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    vexora_add_test(portcontrols_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/PortControlsTest.cpp
        LIBS vexora_widgets vexora_test_support vexora_component_test_support Qt6::Test
        LABELS gui)
endif()
