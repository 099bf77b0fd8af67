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

# The core's threads in chosen interleavings: a few platform calls are wrapped at link time, so
# that a test can stop a thread inside them (CoreHooks.h).
vexora_add_test(core_interleaving_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CoreInterleavingTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/CoreHooks.cpp
    LIBS vexora_core vexora_test_support
    LABELS serial)
target_link_options(core_interleaving_test PRIVATE
    LINKER:--wrap=_Z9WriteFilePvPKvjPjP10OVERLAPPED
    LINKER:--wrap=_Z8SetEventPv
    LINKER:--wrap=_Z19WaitForSingleObjectPvj
    LINKER:--wrap=_Z12CreateThreadPvmPFjS_ES_jPj
    LINKER:--wrap=_Z20EnterCriticalSectionP16CRITICAL_SECTION
    LINKER:--wrap=_Z14ClearCommErrorPvPjP7COMSTAT)
