# The port core with its event and write threads, on pseudo-terminals and controllable devices.
vexora_add_test(core_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/CoreDeviceTest.cpp
    LIBS vexora_core vexora_test_support
    LABELS serial)

# Open/close cycles with traffic; its own executable so that it has its own time limit.
vexora_add_test(core_stress_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreStressTest.cpp
    LIBS vexora_core vexora_test_support
    LABELS serial
    TIMEOUT 300)
