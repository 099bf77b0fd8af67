# Events, waits, critical sections and threads of the comm platform.
if(TARGET vexora_platform)
    add_executable(bench_sync ${CMAKE_CURRENT_LIST_DIR}/SyncBench.cpp)
    target_link_libraries(bench_sync PRIVATE vexora_platform benchmark::benchmark)
    vexora_warnings(bench_sync)
endif()
