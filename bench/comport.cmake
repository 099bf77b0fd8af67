# The port component's OnDataRecived latency beside QSerialPort's readyRead on one pseudo-terminal.
find_package(Qt6 QUIET COMPONENTS SerialPort)
if(TARGET vexora_component AND TARGET vexora_test_support AND TARGET Qt6::SerialPort)
    add_executable(bench_comport ${CMAKE_CURRENT_LIST_DIR}/ComPortBench.cpp)
    target_link_libraries(bench_comport PRIVATE vexora_component vexora_test_support Qt6::SerialPort
                                                benchmark::benchmark)
    vexora_warnings(bench_comport)
endif()
