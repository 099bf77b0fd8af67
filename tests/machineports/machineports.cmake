# No test opens a serial port of the machine: the executables that probe or open ports (the box
# probing COM 1 to 16, the main window, the port component) run under strace, which sees every
# open of /dev/tty*.
if(TARGET vexora_widgets AND TARGET vexora_app)
    add_test(NAME machine_ports.untouched
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckNoMachinePorts.sh
                     $<TARGET_FILE:portcontrols_test> $<TARGET_FILE:test_app_link>
                     $<TARGET_FILE:test_app_forms> $<TARGET_FILE:component_test>)
    set_tests_properties(machine_ports.untouched PROPERTIES
        LABELS gui TIMEOUT 900 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
