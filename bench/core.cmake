# The port core over a pseudo-terminal: echo round trips and bulk output.
if(TARGET vexora_core AND TARGET vexora_test_support)
    add_executable(bench_core ${CMAKE_CURRENT_LIST_DIR}/CoreBench.cpp)
    target_link_libraries(bench_core PRIVATE vexora_core vexora_test_support benchmark::benchmark)
    vexora_warnings(bench_core)
endif()
