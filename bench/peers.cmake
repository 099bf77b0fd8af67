# The port core beside QSerialPort and Boost.Asio on one pseudo-terminal: one table of latency,
# idle cost, open and close, and bulk transfer (run bench_peers; it is not a test).
find_package(Qt6 QUIET COMPONENTS SerialPort)
find_package(Boost 1.74 QUIET)
if(TARGET vexora_core AND TARGET vexora_test_support AND TARGET Qt6::SerialPort AND Boost_FOUND)
    add_executable(bench_peers ${CMAKE_CURRENT_LIST_DIR}/PeersBench.cpp)
    target_link_libraries(bench_peers PRIVATE vexora_core vexora_test_support Qt6::SerialPort Boost::headers)
    vexora_warnings(bench_peers)
endif()
