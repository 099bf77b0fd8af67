# vexora-cli end to end against the meter simulator: the program runs as a child process. Each
# test runs real exchanges with their fixed waits, some seconds each.
if(TARGET vexora-cli AND TARGET vexora_sim)
    vexora_add_test(test_cli
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/CliTest.cpp ${PROJECT_SOURCE_DIR}/tests/sim/SimTestSupport.cpp
        LIBS vexora_sim vexora_mbus vexora_test_support Qt6::Core
        LABELS cli
        TIMEOUT 120)
    target_include_directories(test_cli PRIVATE ${PROJECT_SOURCE_DIR}/tests/sim)
    add_dependencies(test_cli vexora-cli)
    target_compile_definitions(test_cli PRIVATE VEXORA_CLI="$<TARGET_FILE:vexora-cli>")
endif()
