# A few platform calls wrapped at link time, in every test that links this (CoreHooks.h): points
# where a test stops a thread of the core, so that one interleaving happens every time, and the
# count of the worker threads still running.
add_library(vexora_core_hooks OBJECT ${CMAKE_CURRENT_LIST_DIR}/CoreHooks.cpp)
target_link_libraries(vexora_core_hooks PUBLIC vexora_core)
vexora_warnings(vexora_core_hooks)
target_link_options(vexora_core_hooks INTERFACE
    LINKER:--wrap=_Z9WriteFilePvPKvjPjP10OVERLAPPED
    LINKER:--wrap=_Z8SetEventPv
    LINKER:--wrap=_Z19WaitForSingleObjectPvj
    LINKER:--wrap=_Z12CreateThreadPvmPFjS_ES_jPj
    LINKER:--wrap=_Z20EnterCriticalSectionP16CRITICAL_SECTION
    LINKER:--wrap=_Z14ClearCommErrorPvPjP7COMSTAT)

# The port core with its event and write threads, on pseudo-terminals and controllable devices.
vexora_add_test(core_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/CoreDeviceTest.cpp
    LIBS vexora_core vexora_core_hooks vexora_test_support vexora_serial_internal
    LABELS serial)

# Open/close cycles with traffic; its own executable so that it has its own time limit.
vexora_add_test(core_stress_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreStressTest.cpp
    LIBS vexora_core vexora_test_support
    LABELS serial
    TIMEOUT 300)

# The core's threads in chosen interleavings.
vexora_add_test(core_interleaving_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreInterleavingTest.cpp
    LIBS vexora_core vexora_core_hooks vexora_test_support
    LABELS serial)
