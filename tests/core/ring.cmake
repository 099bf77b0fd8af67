# Tests of the byte ring and of the handle release.
vexora_add_test(ring_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CircularBufferTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/UtilsTest.cpp
    LIBS vexora_core
    LABELS serial)
