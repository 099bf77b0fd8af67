# The component base, the port component and the data dispatcher, on pseudo-terminals and
# controllable devices.
vexora_add_test(component_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ComponentTestApp.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ComponentTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ComPortTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/DataDispatcherTest.cpp
    LIBS vexora_component vexora_test_support vexora_component_test_support vexora_serial_internal
    LABELS serial)

# Open/close cycles with traffic and changing handlers; its own executable for its time limit.
vexora_add_test(component_stress_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ComPortStressTest.cpp
    LIBS vexora_component vexora_test_support vexora_component_test_support
    LABELS serial
    TIMEOUT 600)

# The line settings and their DCB mapping.
vexora_add_test(component_linesettings_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/LineSettingsTest.cpp
    LIBS vexora_component
    LABELS serial)
