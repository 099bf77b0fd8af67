# Tests of the byte ring and of the line settings with their DCB mapping.
vexora_add_test(ring_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/CircularBufferTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/LineSettingsTest.cpp
    LIBS vexora_serial_pure
    LABELS serial)
