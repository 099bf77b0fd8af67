# Throughput of the byte ring against a plain memcpy.
add_executable(bench_ring ${CMAKE_CURRENT_LIST_DIR}/RingBench.cpp)
target_link_libraries(bench_ring PRIVATE vexora_core benchmark::benchmark)
vexora_warnings(bench_ring)
