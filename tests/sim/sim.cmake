# The meter simulator: the meter without a line, in-process on a pseudo-terminal, and as a command.
vexora_add_test(test_meter_sim
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/MeterTest.cpp ${CMAKE_CURRENT_LIST_DIR}/MeterLineTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/MeterCommandTest.cpp ${CMAKE_CURRENT_LIST_DIR}/SimTestSupport.cpp
    LIBS vexora_sim vexora_mbus vexora_test_support
    LABELS sim)
add_dependencies(test_meter_sim vexora-meter-sim)
target_compile_definitions(test_meter_sim PRIVATE VEXORA_METER_SIM="$<TARGET_FILE:vexora-meter-sim>")
