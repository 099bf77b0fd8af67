# Test support for serial ports (pseudo-terminals and controllable in-process devices), used by the
# platform's and the serial component's tests, and the tests of the serial device driver.
add_library(vexora_test_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/support/AfPtyPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/support/AfTestDevice.cpp)
target_include_directories(vexora_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/support)
target_link_libraries(vexora_test_support PUBLIC vexora_platform PRIVATE vexora_serial_internal)
vexora_warnings(vexora_test_support)

vexora_add_test(platform_driver_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/AfCommPtyTest.cpp ${CMAKE_CURRENT_LIST_DIR}/AfCommDeviceTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/AfCommMappingTest.cpp
    LIBS vexora_test_support vexora_serial_internal
    LABELS platform)
