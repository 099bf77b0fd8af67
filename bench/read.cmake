# One whole Read of the main window against the meter simulator (a child process): the tool's CPU
# share of one core and the wall time beside the fixed waits.
if(TARGET vexora_app AND TARGET vexora-meter-sim)
    add_executable(bench_read ${CMAKE_CURRENT_LIST_DIR}/ReadBench.cpp)
    target_link_libraries(bench_read PRIVATE vexora_app benchmark::benchmark)
    target_compile_definitions(bench_read PRIVATE VEXORA_METER_SIM="$<TARGET_FILE:vexora-meter-sim>")
    add_dependencies(bench_read vexora-meter-sim)
    vexora_warnings(bench_read)
endif()
