# The component base, the port component and the data dispatcher, on pseudo-terminals and
# controllable devices.
vexora_add_test(component_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ComponentTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ComPortTest.cpp
    LIBS vexora_component vexora_test_support
    LABELS serial)
