# libFuzzer target over the serial device driver, checked against a model (clang, VEXORA_FUZZ only).
# The fuzz build has the comm platform alone of the serial component; the test device is compiled in.
add_executable(fuzz_comm_driver ${CMAKE_CURRENT_LIST_DIR}/DriverFuzz.cpp
    ${PROJECT_SOURCE_DIR}/tests/platform/support/AfTestDevice.cpp
    ${PROJECT_SOURCE_DIR}/tests/platform/support/AfPtyPort.cpp)
target_include_directories(fuzz_comm_driver PRIVATE ${PROJECT_SOURCE_DIR}/tests/platform/support)
target_link_libraries(fuzz_comm_driver PRIVATE vexora_platform vexora_serial_internal)
target_link_options(fuzz_comm_driver PRIVATE -fsanitize=fuzzer)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/DriverFuzz.cpp PROPERTIES
    COMPILE_OPTIONS "-Wall;-Wextra;-Wpedantic;-Werror")
