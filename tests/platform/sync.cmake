# Events, mutexes, waits, critical sections, threads, ticks and the handle table.
vexora_add_test(platform_sync_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/AfSyncTest.cpp ${CMAKE_CURRENT_LIST_DIR}/AfThreadsTest.cpp
    LIBS vexora_platform vexora_serial_internal
    LABELS platform)
