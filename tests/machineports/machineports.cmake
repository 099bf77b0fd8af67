# No test opens a serial port of the machine: the executables that probe or open ports (the box
# probing COM 1 to 16, the main window, the port component, vexora-cli run by its tests) run under
# strace, which sees every open of /dev/tty*, also in the processes they start. What they open
# does not depend on a sanitizer, so it runs once, in the builds without one.
if(TARGET vexora_widgets AND TARGET vexora_app AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(_vexora_port_tests portcontrols_test test_app_link test_app_forms component_test)
    if(TARGET test_cli)
        list(APPEND _vexora_port_tests test_cli)
    endif()
    list(TRANSFORM _vexora_port_tests REPLACE "(.+)" "$<TARGET_FILE:\\1>")
    add_test(NAME machine_ports.untouched
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/CheckNoMachinePorts.sh ${_vexora_port_tests})
    set_tests_properties(machine_ports.untouched PROPERTIES
        LABELS gui TIMEOUT 900 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
