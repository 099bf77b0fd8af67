# The notification channel and the application's exception display.
vexora_add_test(safesync_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/SafeSyncTest.cpp
    LIBS vexora_channel
    LABELS serial)
