vexora_add_test(test_mbus_telegram SOURCES ${CMAKE_CURRENT_LIST_DIR}/TelegramTest.cpp
    LIBS vexora_mbus LABELS app)
