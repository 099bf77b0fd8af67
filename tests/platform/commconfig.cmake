# Port configuration records and the configuration dialog hook.
vexora_add_test(platform_commconfig_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/AfCommConfigTest.cpp
    LIBS vexora_test_support
    LABELS platform)
